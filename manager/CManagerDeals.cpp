// Deal events: one journal line per added, updated or deleted deal.
#include "manager/CManager.h"

void CManager::WriteDealLine(const wchar_t* format, const IMTDeal* deal) {
  if (!deal || !manager_) return;
  wchar_t buffer[MTDealDescribeSize] = {};
  deal->Describe(buffer, MTDealDescribeSize);
  Seen(manager_->WriteJournal(MT_JOURNAL_INFO, format, buffer), "WriteJournal");
}

void CManager::OnDealAdd(const IMTDeal* deal) { WriteDealLine(L"Deal: %s has been add", deal); }

void CManager::OnDealUpdate(const IMTDeal* deal) { WriteDealLine(L"Deal: %s has been  update", deal); }

void CManager::OnDealDelete(const IMTDeal* deal) { WriteDealLine(L"Deal: %s has been deleted", deal); }

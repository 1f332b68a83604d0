#include "tradesim/DealView.h"

#include <algorithm>

#include "tradesim/WideText.h"

namespace tradesim {
namespace {

std::wstring actionName(uint32_t action) {
  switch (action) {
    case 2:
      return L"balance";
    case 3:
      return L"credit";
    default:
      return L"action " + std::to_wstring(action);
  }
}

}  // namespace

DealView::DealView(const DealRecord& deal) : deal_(deal), comment_(widen(deal.comment)) {}

double DealView::Profit() const { return moneyToDouble(deal_.amount); }

const wchar_t* DealView::Describe(wchar_t* buffer, uint32_t size) const {
  if (!buffer || size == 0) return buffer;
  const std::wstring text = L"#" + std::to_wstring(deal_.id) + L" login " + std::to_wstring(deal_.login) + L" " +
                            actionName(deal_.action) + L" " + widen(formatMoney(deal_.amount)) + L" '" + comment_ +
                            L"'";
  const size_t count = std::min<size_t>(text.size(), size - 1);
  std::copy_n(text.data(), count, buffer);
  buffer[count] = L'\0';
  return buffer;
}

}  // namespace tradesim

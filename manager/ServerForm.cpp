#include "manager/ServerForm.h"

#include <cmath>

#include "manager/ManagerApi.h"
#include "support/TextConversions.h"

std::wstring dealCommentAsKept(const std::wstring& comment) {
  std::wstring kept(comment.c_str());
  if (kept.size() > MTDealCommentSize - 1) kept.resize(MTDealCommentSize - 1);
  return kept;
}

std::wstring dealCommentAsKept(const std::string& utf8Comment) { return dealCommentAsKept(UTF8ToUnicode(utf8Comment)); }

int64_t moneyAsKept(double amount) { return std::llround(amount * 1e8); }

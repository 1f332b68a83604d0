// The in-doubt checks: whether an earlier attempt at a request changed the
// trading server. The rules, by request kind:
// - balance: a deal of the login with the planned action, amount and comment
//   posted since the attempt began and claimed by no other request. Exactly
//   one: done, with that deal. None: not done. Several, a failed lookup, or a
//   library without the deal lookup: cannot be told.
// - create: an account whose name, group and e-mail are the request's: done.
//   No account, or one with other details (which this request cannot have
//   made): carried out, and the server answers as it did the first time.
// - update: saving the same values again changes nothing more: carried out.
// - password type 2 (no verification): setting it again is harmless.
//   Types 1 and 3: done when the new password already verifies as the
//   password the type changes, otherwise carried out (the old one still works).
#include <chrono>
#include <cmath>
#include <vector>

#include "host/ServiceConfig.h"
#include "manager/CManager.h"
#include "manager/ResultCode.h"
#include "messages/PasswordUpdateRequest.h"
#include "messages/TradeTransInfoRequest.h"
#include "messages/UserRecordCreateRequest.h"
#include "support/TextConversions.h"

namespace {

// Deal times and the attempt's start come from different clocks.
constexpr int64_t kClockSlackMs = 2000;

int64_t nowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

EarlierChange result(EarlierChange::Found found, std::string why, std::string reply = std::string(),
                     uint64_t dealId = 0) {
  EarlierChange r;
  r.found = found;
  r.why = std::move(why);
  r.reply = std::move(reply);
  r.dealId = dealId;
  return r;
}

// The deal a balance request would make, as far as the request tells it.
struct ExpectedDeal {
  uint32_t action = MT_DEAL_BALANCE;
  double amount = 0.0;
  bool amountKnown = true;  // credit cancellations and capped credit changes: sign only
  std::wstring comment;
};

bool sameAmount(double a, double b) { return std::fabs(a - b) < 5e-9; }

bool matches(const MTDealRecord& deal, const ExpectedDeal& expected) {
  if (deal.action != expected.action || expected.comment != deal.comment) return false;
  if (expected.amountKnown) return sameAmount(deal.amount, expected.amount);
  return deal.amount < 0;
}

ExpectedDeal expectedFrom(const TradeTransInfoRequest& record, const PlannedChange* planned) {
  ExpectedDeal e;
  if (planned) {
    e.action = planned->action;
    e.amount = planned->amount;
    e.comment = UTF8ToUnicode(planned->comment);
    return e;
  }
  // Never recorded: redo the operation's reasoning without the account.
  const std::string& cancellation = serviceConfig().tradeCancellationCreditTransInfo;
  const bool cancel = !cancellation.empty() && record.routeType == cancellation;
  e.action = (cancel || record.type != 1) ? MT_DEAL_CREDIT : MT_DEAL_BALANCE;
  e.amount = record.amount;
  e.amountKnown = !cancel && !(e.action == MT_DEAL_CREDIT && record.amount < 0);
  const double sign = cancel ? -1.0 : record.amount;
  e.comment = UTF8ToUnicode(record.comment.empty() ? (sign > 0 ? "Deposit" : "Withdraw") : record.comment);
  return e;
}

}  // namespace

EarlierChange CManager::FindEarlierChange(const Json::Value& request, const EarlierAttempt& attempt) {
  using Found = EarlierChange::Found;
  if (!manager_) return result(Found::Unknown, "no trading-server session");
  switch (attempt.kind) {
    case RequestKind::Update:
      return result(Found::No, "an update is carried out again");

    case RequestKind::Password: {
      PasswordUpdateRequest record(request);
      if (record.type != 1 && record.type != 3) return result(Found::No, "a password set again");
      const uint32_t kind = record.type == 1 ? MT_PASS_MAIN : MT_PASS_INVESTOR;
      const std::wstring newPass = stringToLPCWSTR(record.newPass);
      if (replycode::requestDone(manager_->VerifyPassword(kind, record.login, newPass.c_str())))
        return result(Found::Yes, "the new password is set", record.BuildReply());
      return result(Found::No, "the new password is not set");
    }

    case RequestKind::Create: {
      UserRecordCreateRequest record(request);
      UserRecord user(manager_->NewUserRecord());
      if (!user) return result(Found::Unknown, "no user record");
      const MTAPIRES res = manager_->LoadAccount(record.login, user.get());
      if (res == mtret::NotFound) return result(Found::No, "no such account");
      if (!replycode::requestDone(res)) return result(Found::Unknown, "account lookup failed");
      const bool same = UTF8ToUnicode(record.name) == user->Name() && UTF8ToUnicode(record.group) == user->Group() &&
                        UTF8ToUnicode(record.email) == user->EMail();
      if (same) return result(Found::Yes, "the account exists", record.BuildReply());
      return result(Found::No, "an account with other details has the login");
    }

    case RequestKind::Trade:
      break;
  }

  TradeTransInfoRequest record(request);
  const ExpectedDeal expected = expectedFrom(record, attempt.planned);
  if (expected.amountKnown && expected.amount == 0) return result(Found::No, "nothing to post");
  if (!library_.HasDealRequest()) return result(Found::Unknown, "the trading server has no deal lookup");

  std::vector<MTDealRecord> deals;
  const MTAPIRES res = library_.DealRequest(manager_.get(), record.login, attempt.sinceMs - kClockSlackMs,
                                            nowMs() + kClockSlackMs, deals);
  if (res != mtret::Ok) return result(Found::Unknown, "deal lookup failed");
  const MTDealRecord* found = nullptr;
  int count = 0;
  for (const MTDealRecord& deal : deals) {
    if (!matches(deal, expected) || (attempt.claimed && attempt.claimed(deal.deal))) continue;
    found = &deal;
    ++count;
  }
  if (count == 0) return result(Found::No, "no such deal");
  if (count > 1) return result(Found::Unknown, "several deals match");
  record.amount = attempt.planned ? attempt.planned->amount : found->amount;
  if (record.comment.empty()) record.comment = found->amount > 0 ? "Deposit" : "Withdraw";
  record.order = static_cast<int64_t>(found->deal);
  return result(Found::Yes, "deal " + std::to_string(found->deal), record.BuildReply(), found->deal);
}

// The in-doubt checks: whether an earlier attempt at a request changed the
// trading server. Each identifies this request's own effect on the server,
// or says it cannot. The rules, by request kind:
// - balance: a deal of the login posted by this service's own manager login
//   with the planned action, amount and comment as the server keeps them
//   (the comment cut as its deal record holds it, the amount as it rounds
//   it), since the attempt began on the server's clock, and settled on by
//   no other request of the journal. Exactly one: done, with that deal.
//   None: not done. Several, one while another unsettled request could have
//   made the same deal, a failed lookup, or a library without the lookup:
//   cannot be told.
// - create: an account registered since the attempt began with the
//   request's name, group and e-mail and claimed by no other request (found
//   by login, or among the accounts registered since then for login 0). One:
//   done. None: not done (an account that existed before the attempt is never
//   this request's: carrying it out gets the server's own answer). Otherwise,
//   or without the registration times: cannot be told.
// - update: the account already has the values the save writes: done; it
//   still has those it had before: not done; anything else (someone changed
//   it in between): cannot be told.
// - password: the new password verifies: done. Type 1: the old master
//   password (the request's) still verifies: not done. Types 2 and 3: the
//   password's last change is the one recorded before: not done. Otherwise:
//   cannot be told.
#include <chrono>
#include <cmath>
#include <cwchar>
#include <vector>

#include "host/ServiceConfig.h"
#include "manager/AccountSnapshot.h"
#include "manager/CManager.h"
#include "manager/ResultCode.h"
#include "manager/ServerForm.h"
#include "messages/PasswordUpdateRequest.h"
#include "messages/TradeTransInfoRequest.h"
#include "messages/UserRecordCreateRequest.h"
#include "messages/UserRecordUpdateRequest.h"
#include "support/TextConversions.h"

namespace {

using Found = EarlierChange::Found;

// The server's clock and the bound of the attempt may differ by this much
// (the offset measured at login drifts; a bound from this host's clock).
constexpr int64_t kClockSlackMs = 2000;

EarlierChange result(Found found, std::string why, std::string reply = std::string(), uint64_t effectId = 0) {
  EarlierChange r;
  r.found = found;
  r.why = std::move(why);
  r.reply = std::move(reply);
  r.effectId = effectId;
  return r;
}

// The deal a balance request would make, as far as the request tells it.
struct ExpectedDeal {
  uint32_t action = MT_DEAL_BALANCE;
  double amount = 0.0;
  bool amountKnown = true;  // credit cancellations and capped credit changes: sign only
  std::wstring comment;     // as the deal record holds it
};

bool sameAmount(double a, double b) { return moneyAsKept(a) == moneyAsKept(b); }

bool matches(const MTDealRecord& deal, const ExpectedDeal& expected) {
  if (deal.action != expected.action) return false;
  const std::size_t length = wcsnlen(deal.comment, MTDealCommentSize);
  if (expected.comment != std::wstring(deal.comment, length)) return false;
  if (expected.amountKnown) return sameAmount(deal.amount, expected.amount);
  return deal.amount < 0;
}

ExpectedDeal expectedFrom(const TradeTransInfoRequest& record, const PlannedChange* planned) {
  ExpectedDeal e;
  if (planned) {
    e.action = planned->action;
    e.amount = planned->amount;
    e.comment = dealCommentAsKept(planned->comment);
    return e;
  }
  // Never recorded: redo the operation's reasoning without the account.
  const std::string& cancellation = serviceConfig().tradeCancellationCreditTransInfo;
  const bool cancel = !cancellation.empty() && record.routeType == cancellation;
  e.action = (cancel || record.type != 1) ? MT_DEAL_CREDIT : MT_DEAL_BALANCE;
  e.amount = record.amount;
  e.amountKnown = !cancel && !(e.action == MT_DEAL_CREDIT && record.amount < 0);
  const double sign = cancel ? -1.0 : record.amount;
  e.comment = dealCommentAsKept(record.comment.empty() ? (sign > 0 ? "Deposit" : "Withdraw") : record.comment);
  return e;
}

// Where on the server's clock the attempt's change can be: [from, to].
struct Window {
  int64_t fromMs = 0;
  int64_t toMs = 0;
};

int rivalsOf(const EarlierAttempt& attempt) { return attempt.rivals ? attempt.rivals() : 0; }
bool claimedBy(const EarlierAttempt& attempt, uint64_t id) { return attempt.claimed && attempt.claimed(id); }

}  // namespace

EarlierChange CManager::FindEarlierChange(const Json::Value& request, const EarlierAttempt& attempt) {
  if (!manager_) return result(Found::Unknown, "no trading-server session");
  Window window;
  const int64_t since = attempt.planned && attempt.planned->serverTimeMs != 0 ? attempt.planned->serverTimeMs
                                                                              : attempt.sinceMs + serverOffsetMs_;
  window.fromMs = since - kClockSlackMs;
  window.toMs = ServerNowMs() + kClockSlackMs;

  switch (attempt.kind) {
    case RequestKind::Update: {
      UserRecordUpdateRequest record(request);
      int32_t failure = 0;
      UserRecord user = LoadUser(record.login, failure);
      if (!user) return result(Found::Unknown, "account lookup failed (" + std::to_string(failure) + ")");
      const auto now = accountValues(*user);
      if (!attempt.planned || attempt.planned->values.empty()) {
        // Never recorded: nothing of this journal's changed it.
        return result(Found::No, "no recorded update to compare");
      }
      if (now == attempt.planned->values)
        return result(Found::Yes, "the account has the new values", record.BuildReply());
      if (now == attempt.planned->before) return result(Found::No, "the account still has the values before");
      return result(Found::Unknown, "the account was changed by someone else meanwhile");
    }

    case RequestKind::Password: {
      PasswordUpdateRequest record(request);
      if (record.type < 1 || record.type > 3) return result(Found::No, "not a password change");
      const uint32_t kind = record.type == 3 ? MT_PASS_INVESTOR : MT_PASS_MAIN;
      const std::wstring newPass = stringToLPCWSTR(record.newPass);
      if (replycode::requestDone(Seen(manager_->VerifyPassword(kind, record.login, newPass.c_str()), "VerifyPassword")))
        return result(Found::Yes, "the new password is set", record.BuildReply());
      if (!attempt.planned) return result(Found::No, "the new password is not set");
      if (record.type == 1) {
        const std::wstring oldPass = stringToLPCWSTR(record.masterPass);
        if (replycode::requestDone(
                Seen(manager_->VerifyPassword(MT_PASS_MAIN, record.login, oldPass.c_str()), "VerifyPassword")))
          return result(Found::No, "the old password still works");
        return result(Found::Unknown, "neither the old nor the new password works");
      }
      const int64_t changed = PasswordChangedMs(kind, record.login);
      if (changed != 0 && changed == attempt.planned->passwordChangedMs)
        return result(Found::No, "the password was not changed since");
      return result(Found::Unknown, changed == 0 ? "the password's last change cannot be told"
                                                 : "the password was changed, not to the new one");
    }

    case RequestKind::Create:
      return FindEarlierAccount(request, attempt, window.fromMs, window.toMs);

    case RequestKind::Trade:
      break;
  }

  TradeTransInfoRequest record(request);
  const ExpectedDeal expected = expectedFrom(record, attempt.planned);
  if (expected.amountKnown && expected.amount == 0) return result(Found::No, "nothing to post");
  if (!library_.HasDealRequest()) return result(Found::Unknown, "the trading server has no deal lookup");

  std::vector<MTDealRecord> deals;
  const MTAPIRES res =
      Seen(library_.DealRequest(manager_.get(), record.login, window.fromMs, window.toMs, deals), "DealRequest");
  if (res != mtret::Ok) return result(Found::Unknown, "deal lookup failed (" + std::to_string(res) + ")");
  const MTDealRecord* found = nullptr;
  int count = 0;
  for (const MTDealRecord& deal : deals) {
    if (deal.dealer != login_ || !matches(deal, expected) || claimedBy(attempt, deal.deal)) continue;
    found = &deal;
    ++count;
  }
  const std::string where = " among " + std::to_string(deals.size()) + " deals of the login in [" +
                            std::to_string(window.fromMs) + ", " + std::to_string(window.toMs) + "]";
  if (count == 0) return result(Found::No, "no deal of this manager matches" + where);
  if (count > 1) return result(Found::Unknown, std::to_string(count) + " deals match" + where);
  if (const int rivals = rivalsOf(attempt))
    return result(Found::Unknown, "deal " + std::to_string(found->deal) + " matches, but " + std::to_string(rivals) +
                                      " other unsettled requests could have made it");
  record.amount = attempt.planned ? attempt.planned->amount : found->amount;
  if (record.comment.empty()) record.comment = found->amount > 0 ? "Deposit" : "Withdraw";
  record.order = static_cast<int64_t>(found->deal);
  return result(Found::Yes, "deal " + std::to_string(found->deal) + where, record.BuildReply(), found->deal);
}

EarlierChange CManager::FindEarlierAccount(const Json::Value& request, const EarlierAttempt& attempt, int64_t fromMs,
                                           int64_t toMs) {
  UserRecordCreateRequest record(request);
  if (!library_.HasAccountTimes() || !library_.HasAccountRequest())
    return result(Found::Unknown, "the trading server cannot tell when accounts were registered");
  const std::wstring name = UTF8ToUnicode(record.name), group = UTF8ToUnicode(record.group),
                     email = UTF8ToUnicode(record.email);
  // Whether the account with login is one this request could have made.
  auto candidate = [&](uint64_t login, int64_t registeredMs, bool& failed) {
    if (registeredMs < fromMs || claimedBy(attempt, login)) return false;
    UserRecord user(manager_->NewUserRecord());
    if (!user || !replycode::requestDone(Seen(manager_->LoadAccount(login, user.get()), "LoadAccount"))) {
      failed = true;
      return false;
    }
    return name == user->Name() && group == user->Group() && email == user->EMail();
  };

  std::vector<uint64_t> found;
  bool failed = false;
  if (record.login != 0) {
    MTAccountTimes times{};
    const MTAPIRES res = Seen(library_.AccountTimes(manager_.get(), record.login, times), "AccountTimes");
    if (res == mtret::NotFound) return result(Found::No, "no such account");
    if (res != mtret::Ok) return result(Found::Unknown, "account lookup failed (" + std::to_string(res) + ")");
    if (times.registeredMs < fromMs) return result(Found::No, "the account existed before the attempt");
    if (candidate(record.login, times.registeredMs, failed)) found.push_back(record.login);
  } else {
    std::vector<MTAccountTimes> registered;
    const MTAPIRES res = Seen(library_.AccountRequest(manager_.get(), fromMs, toMs, registered), "AccountRequest");
    if (res != mtret::Ok) return result(Found::Unknown, "account lookup failed (" + std::to_string(res) + ")");
    for (const MTAccountTimes& a : registered)
      if (candidate(a.login, a.registeredMs, failed)) found.push_back(a.login);
  }
  if (failed) return result(Found::Unknown, "account lookup failed");
  if (found.empty()) return result(Found::No, "no account registered since the attempt has its details");
  if (found.size() > 1) return result(Found::Unknown, std::to_string(found.size()) + " new accounts have its details");
  if (record.login == 0) {
    if (const int rivals = rivalsOf(attempt))
      return result(Found::Unknown, "account " + std::to_string(found.front()) + " matches, but " +
                                        std::to_string(rivals) + " other unsettled requests could have made it");
  }
  return result(Found::Yes, "account " + std::to_string(found.front()) + " registered since the attempt",
                record.BuildReply(), found.front());
}

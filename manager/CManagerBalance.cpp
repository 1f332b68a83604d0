// The balance request: deposits, withdrawals, credit changes and credit
// cancellations.
#include <cmath>
#include <string>

#include "host/ServiceConfig.h"
#include "manager/CManager.h"
#include "manager/ResultCode.h"
#include "messages/TradeTransInfoRequest.h"
#include "support/Console.h"
#include "support/DailyLog.h"
#include "support/TextConversions.h"

CManager::UserRecord CManager::LoadUser(uint64_t login, int32_t& failureCode) {
  UserRecord user(manager_->NewUserRecord());
  if (!user) {
    failureCode = replycode::negated(mtret::Error);
    return nullptr;
  }
  const MTAPIRES res = Seen(manager_->LoadAccount(login, user.get()), "LoadAccount");
  if (!replycode::requestDone(res)) {
    failureCode = replycode::negated(res);
    return nullptr;  // the record is released before the reply goes
  }
  return user;
}

void CManager::FinanceBalance(Json::Value request, ReplySender* sender, ChangeGate* gate) {
  TradeTransInfoRequest record(request);
  if (!manager_) {
    consolePrint("FinanceBalance manager is null\n");
    sender->send(record.BuildReply(replycode::NoManager));
    return;
  }
  // JSON readers turn 1e999 into infinity: such an amount (or a floating
  // that would cover any withdrawal) is no sum of money to post.
  if (!std::isfinite(record.amount) || !std::isfinite(record.floating)) {
    sender->send(record.BuildReply(replycode::negated(mtret::InvalidParams)));
    return;
  }
  int32_t failure = 0;
  UserRecord user = LoadUser(record.login, failure);
  if (!user) {
    sender->send(record.BuildReply(failure));
    return;
  }

  uint32_t action;
  double amount;
  // An unset cancellation value marks nothing: otherwise every request
  // without a routeType would wipe the credit instead of doing its work.
  const std::string& cancellation = serviceConfig().tradeCancellationCreditTransInfo;
  if (!cancellation.empty() && record.routeType == cancellation) {
    // Credit cancellation: the whole credit goes, whatever "amount" says.
    action = MT_DEAL_CREDIT;
    amount = -user->Credit();
  } else {
    action = record.type == 1 ? MT_DEAL_BALANCE : MT_DEAL_CREDIT;
    amount = record.amount;
    if (action == MT_DEAL_BALANCE && amount < 0) {
      if (user->Balance() + amount + record.floating < kBalanceTolerance) {
        sender->send(record.BuildReply(replycode::WithdrawalRefused));
        return;
      }
    } else if (action == MT_DEAL_CREDIT && user->Credit() + amount < 0) {
      amount = -user->Credit();  // the credit ends at zero, no lower
    }
  }
  ApplyBalance(amount, std::move(request), std::move(user), action, sender, gate);
}

void CManager::ApplyBalance(double amount, Json::Value request, UserRecord user, uint32_t action, ReplySender* sender,
                            ChangeGate* gate) {
  TradeTransInfoRequest record(request);
  record.amount = amount;
  if (amount == 0) {
    user.reset();
    sender->send(record.BuildReply());
    return;
  }
  if (!manager_) {
    consolePrint("FinanceBalance manager is null\n");
    sender->send(record.BuildReply(replycode::NoManager));
    return;
  }
  if (record.comment.empty()) record.comment = amount > 0 ? "Deposit" : "Withdraw";
  const std::wstring comment = UTF8ToUnicode(record.comment);

  PlannedChange change;
  change.kind = PlannedChange::Kind::PostDeal;
  change.login = record.login;
  change.action = action;
  change.amount = amount;
  change.comment = record.comment;
  change.serverTimeMs = ServerTimeEstimateMs();
  if (!permitChange(gate, change)) {
    sender->send(record.BuildReply(replycode::NotRecorded));
    return;
  }
  uint64_t dealId = 0;
  MTAPIRES res =
      Seen(manager_->PostBalanceDeal(record.login, amount, action, comment.c_str(), &dealId), "PostBalanceDeal");
  reportChange(gate, res, dealId);
  if (res == mtret::Ok || res == mtret::OkNone || res == mtret::RequestDone) {
    record.order = static_cast<int64_t>(dealId);
    sender->send(record.BuildReply());
  } else {
    const unsigned long long login = record.login;
    writeLog("login:%llu,FinanceBalance fail\n", login);
    consolePrint("login:%llu,FinanceBalance fail\n", login);
    sender->send(record.BuildReply(replycode::negated(res)));
  }
}

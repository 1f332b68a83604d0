// The in-doubt checks against the real trading server: each finds the
// request's own change, or says it cannot, whatever else the server holds.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "ManagerTestSupport.h"
#include "manager/ChangeGate.h"
#include "manager/EarlierChange.h"

using namespace mgrtest;

namespace {

// Lets every change go ahead and keeps what the operation planned.
struct PlanGate : ChangeGate {
  bool beforeChange(const PlannedChange& change) override {
    plan = change;
    return true;
  }
  void afterChange(MTAPIRES, uint64_t id) override { effect = id; }
  PlannedChange plan;
  uint64_t effect = 0;
};

Json::Value deposit(uint64_t login, double amount, const std::string& comment) {
  Json::Value r;
  r["serial"] = "r-1";
  r["login"] = Json::UInt64(login);
  r["amount"] = amount;
  r["type"] = 1;
  r["comment"] = comment;
  return r;
}

class Recovery : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(connected.started);
    login = server.addAccount({"--login", "5001", "--name", "R", "--group", "demo", "--balance", "1000"});
  }

  EarlierChange check(RequestKind kind, const Json::Value& request, const PlannedChange* planned,
                      std::function<bool(uint64_t)> claimed = nullptr, int rivals = 0) {
    EarlierAttempt attempt;
    attempt.kind = kind;
    attempt.planned = planned;
    attempt.sinceMs = since;
    attempt.claimed = std::move(claimed);
    attempt.rivals = [rivals] { return rivals; };
    return connected.manager.FindEarlierChange(request, attempt);
  }

  TradeServer server;
  ConnectedManager connected{server};
  RecordingSender sender;
  uint64_t login = 0;
  int64_t since =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
};

TEST_F(Recovery, ADepositIsFoundOnlyAsTheServerKeepsItAndOnlyWhenItIsThisServicesOwn) {
  const std::string longComment(100, 'c');
  for (const std::string& comment : {longComment, std::string("ab\0cd", 5)}) {
    const Json::Value request = deposit(login, 12.5, comment);
    PlanGate gate;
    connected.manager.FinanceBalance(request, &sender, &gate);
    ASSERT_NE(gate.effect, 0u);
    const EarlierChange found = check(RequestKind::Trade, request, &gate.plan);
    ASSERT_EQ(found.found, EarlierChange::Found::Yes) << found.why;
    EXPECT_EQ(found.effectId, gate.effect);
    EXPECT_EQ(parse(found.reply)["data"]["order"].asUInt64(), gate.effect) << found.reply;
    // Settled by another request: not this one's.
    const uint64_t made = gate.effect;
    EXPECT_EQ(check(RequestKind::Trade, request, &gate.plan, [made](uint64_t id) { return id == made; }).found,
              EarlierChange::Found::No);
    // Another unsettled request could have made it.
    EXPECT_EQ(check(RequestKind::Trade, request, &gate.plan, nullptr, 1).found, EarlierChange::Found::Unknown);
  }

  // A dealer's identical deal, posted by another manager: never this one's.
  const Json::Value bonus = deposit(login, 7, "Bonus");
  PlannedChange planned;
  planned.login = login;
  planned.action = MT_DEAL_BALANCE;
  planned.amount = 7;
  planned.comment = "Bonus";
  server.run({"deal", "add", "--login", std::to_string(login), "--amount", "7", "--comment", "Bonus"});
  EXPECT_EQ(check(RequestKind::Trade, bonus, &planned).found, EarlierChange::Found::No);
  // Two of its own: cannot tell which.
  connected.manager.FinanceBalance(bonus, &sender);
  connected.manager.FinanceBalance(bonus, &sender);
  EXPECT_EQ(check(RequestKind::Trade, bonus, &planned).found, EarlierChange::Found::Unknown);
}

TEST_F(Recovery, AnAccountCountsOnlyWhenRegisteredSinceTheAttemptWithItsDetails) {
  Json::Value request;
  request["login"] = 0;  // the server assigns it
  request["name"] = "Ann";
  request["group"] = "demo";
  request["email"] = "ann@example.org";
  request["leverage"] = 100;
  request["masterPass"] = "Master#1";
  request["investorPass"] = "Invest#1";
  // One with the same details from before the attempt never counts (past
  // the clock slack the check allows).
  server.addAccount({"--login", "5100", "--name", "Ann", "--group", "demo", "--email", "ann@example.org"});
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  PlanGate gate;
  connected.manager.CreateUser(request, &sender, &gate);
  ASSERT_GT(gate.effect, 5100u);
  ASSERT_NE(gate.plan.serverTimeMs, 0);
  const EarlierChange found = check(RequestKind::Create, request, &gate.plan);
  ASSERT_EQ(found.found, EarlierChange::Found::Yes) << found.why;
  EXPECT_EQ(found.effectId, gate.effect);
  const uint64_t made = gate.effect;
  EXPECT_EQ(check(RequestKind::Create, request, &gate.plan, [made](uint64_t id) { return id == made; }).found,
            EarlierChange::Found::No);
  EXPECT_EQ(check(RequestKind::Create, request, &gate.plan, nullptr, 1).found, EarlierChange::Found::Unknown);
  // Another like it since: cannot tell which is this request's.
  connected.manager.CreateUser(request, &sender);
  EXPECT_EQ(check(RequestKind::Create, request, &gate.plan).found, EarlierChange::Found::Unknown);
  // A given login: the account with it, when it is new enough.
  Json::Value given = request;
  given["login"] = 5100;
  EXPECT_EQ(check(RequestKind::Create, given, &gate.plan).found, EarlierChange::Found::No);
}

TEST_F(Recovery, AnUpdateIsRedoneOnlyWhileTheAccountIsAsItWasBefore) {
  Json::Value request;
  request["login"] = Json::UInt64(login);
  request["name"] = "Renamed";
  request["group"] = "demo";
  request["leverage"] = 200;
  request["valid"] = 1;
  PlanGate gate;
  connected.manager.UpdateUser(request, &sender, &gate);
  EXPECT_EQ(check(RequestKind::Update, request, &gate.plan).found, EarlierChange::Found::Yes);
  // Put back as it was: not done (yet), carried out.
  PlannedChange undone = gate.plan;
  std::swap(undone.values, undone.before);
  EXPECT_EQ(check(RequestKind::Update, request, &undone).found, EarlierChange::Found::No);
  // Someone else changed it meanwhile: neither.
  Json::Value other = request;
  other["name"] = "Someone else";
  connected.manager.UpdateUser(other, &sender);
  EXPECT_EQ(check(RequestKind::Update, request, &gate.plan).found, EarlierChange::Found::Unknown);
}

}  // namespace

namespace {

TEST_F(Recovery, APasswordIsSetAgainOnlyWhileItIsUnchangedSinceTheAttempt) {
  server.run({"account", "add", "--login", "5200", "--name", "P", "--master-pass", "Old#1"});
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  auto request = [](int type, const std::string& newPass) {
    Json::Value r;
    r["login"] = 5200;
    r["type"] = type;
    r["masterPass"] = "Old#1";
    r["newPass"] = newPass;
    return r;
  };
  // Type 2 (no verification): the last change recorded before decides.
  const Json::Value set = request(2, "New#1");
  PlanGate gate;
  connected.manager.UpdatePassWord(set, &sender, &gate);
  ASSERT_NE(gate.plan.passwordChangedMs, 0);
  EXPECT_EQ(check(RequestKind::Password, set, &gate.plan).found, EarlierChange::Found::Yes);
  const Json::Value next = request(2, "Next#1");
  PlannedChange unchanged = gate.plan;
  unchanged.passwordChangedMs =
      std::stoll(server.accountField(5200, "master_changed"));  // as it is now: not changed since
  EXPECT_EQ(check(RequestKind::Password, next, &unchanged).found, EarlierChange::Found::No);
  // The client changed it since the attempt began: neither.
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  connected.manager.UpdatePassWord(request(2, "Client#1"), &sender);
  EXPECT_EQ(check(RequestKind::Password, next, &unchanged).found, EarlierChange::Found::Unknown);
  // Type 1: the old master password (the request's) still working decides.
  const Json::Value verified = request(1, "Other#1");
  EXPECT_EQ(check(RequestKind::Password, verified, &unchanged).found, EarlierChange::Found::Unknown);
  Json::Value fromClient = verified;
  fromClient["masterPass"] = "Client#1";
  EXPECT_EQ(check(RequestKind::Password, fromClient, &unchanged).found, EarlierChange::Found::No);
}

}  // namespace

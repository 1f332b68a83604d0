// FinanceBalance and ApplyBalance against the real trading server.
#include <sqlite3.h>

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>

#include "ManagerTestSupport.h"
#include "host/ServiceConfig.h"

using namespace mgrtest;

namespace {

Json::Value trade(uint64_t login, double amount, int type) {
  Json::Value r;
  r["serial"] = "t-1";
  r["login"] = Json::UInt64(login);
  r["amount"] = amount;
  r["type"] = type;
  r["comment"] = "";
  return r;
}

// "id login action amount comment" of the account's deals, time and
// manager left out.
std::vector<std::string> dealLines(TradeServer& server, uint64_t login) {
  std::vector<std::string> out;
  for (const std::string& line : server.deals(login)) {
    const std::string withTime = line.substr(0, line.rfind('\t'));
    out.push_back(withTime.substr(0, withTime.rfind('\t')));
  }
  return out;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Everything in the daily log directory (../log from the working directory).
std::string dailyLogText() {
  const fs::path log = fs::current_path().parent_path() / "log";
  std::string text;
  std::error_code missing;
  for (fs::directory_iterator it(log, missing), end; !missing && it != end; it.increment(missing)) {
    text += readFile(it->path());
  }
  return text;
}

class BalanceOperation : public ::testing::Test {
 protected:
  void SetUp() override {
    serviceConfig().tradeCancellationCreditTransInfo = "creditCancel";
    ASSERT_TRUE(connected.started);
  }
  void TearDown() override { serviceConfig().tradeCancellationCreditTransInfo.clear(); }

  Json::Value post(const Json::Value& request) {
    const size_t before = sender.replies().size();
    connected.manager.FinanceBalance(request, &sender);
    EXPECT_EQ(sender.replies().size(), before + 1);
    return parse(sender.replies().back());
  }

  TradeServer server;
  ConnectedManager connected{server};
  RecordingSender sender;
};

}  // namespace

TEST_F(BalanceOperation, DepositsAndWithdrawals) {
  const uint64_t login = server.addAccount({"--balance", "30"});

  // A deposit with no comment goes in as "Deposit"; the reply carries the deal id.
  connected.manager.FinanceBalance(trade(login, 100, 1), &sender);
  const std::string id = server.deals(login).at(0).substr(0, server.deals(login).at(0).find('\t'));
  ASSERT_EQ(sender.replies().size(), 1u);
  EXPECT_EQ(sender.replies()[0],
            "{\"code\":200,\"data\":{\"amount\":100.0,\"comment\":\"Deposit\",\"floating\":0.0,"
            "\"login\":" +
                std::to_string(login) + ",\"order\":" + id +
                ",\"routeType\":\"\",\"serial\":\"t-1\",\"type\":1},\"msg\":\"success\"}\n");
  EXPECT_EQ(server.balance(login), 130.0);
  EXPECT_EQ(dealLines(server, login),
            (std::vector<std::string>{id + "\t" + std::to_string(login) + "\tbalance\t100.00\tDeposit"}));

  // Withdrawing beyond the balance: refused, nothing posted.
  const uint64_t poor = server.addAccount({"--balance", "30"});
  Json::Value withdraw = trade(poor, -50, 1);
  const Json::Value refused = post(withdraw);
  EXPECT_EQ(refused["code"].asInt(), -1000);
  EXPECT_EQ(refused["data"]["order"].asInt64(), -1);
  EXPECT_EQ(refused["data"]["amount"].asDouble(), -50.0);
  EXPECT_TRUE(server.deals(poor).empty());

  // Floating is read only with a routeType; 20 more covers the difference.
  withdraw["floating"] = 20;
  EXPECT_EQ(post(withdraw)["code"].asInt(), -1000);
  withdraw["routeType"] = "desk";
  const Json::Value covered = post(withdraw);
  EXPECT_EQ(covered["code"].asInt(), 200);
  EXPECT_EQ(covered["data"]["comment"].asString(), "Withdraw");
  EXPECT_EQ(covered["data"]["floating"].asDouble(), 20.0);
  EXPECT_EQ(server.balance(poor), -20.0);

  // Within the tolerance passes; a cent beyond it does not.
  const uint64_t edge = server.addAccount({"--balance", "10"});
  EXPECT_EQ(post(trade(edge, -10.000005, 1))["code"].asInt(), 200);
  EXPECT_EQ(post(trade(edge, -0.02, 1))["code"].asInt(), -1000);

  // A comment is passed unchanged whatever the sign.
  Json::Value commented = trade(login, -5, 1);
  commented["comment"] = "fee \xC3\xA9t\xC3\xA9";
  EXPECT_EQ(post(commented)["data"]["comment"].asString(), "fee \xC3\xA9t\xC3\xA9");
  EXPECT_EQ(server.deals(login).size(), 2u);
  EXPECT_NE(server.deals(login).back().find("-5.00"), std::string::npos);

  // Amount 0: success with nothing posted and the order left at -1.
  const Json::Value zero = post(trade(login, 0, 1));
  EXPECT_EQ(zero["code"].asInt(), 200);
  EXPECT_EQ(zero["data"]["order"].asInt64(), -1);
  EXPECT_EQ(zero["data"]["comment"].asString(), "");
  EXPECT_EQ(server.deals(login).size(), 2u);
  EXPECT_EQ(server.balance(login), 125.0);
}

TEST_F(BalanceOperation, CreditChangesAndCancellations) {
  const uint64_t login = server.addAccount({"--balance", "0", "--credit", "50"});

  // Credit can go down to zero, no lower.
  const Json::Value clamped = post(trade(login, -80, 2));
  EXPECT_EQ(clamped["code"].asInt(), 200);
  EXPECT_EQ(clamped["data"]["amount"].asDouble(), -50.0);
  EXPECT_EQ(server.credit(login), 0.0);
  ASSERT_EQ(server.deals(login).size(), 1u);
  EXPECT_NE(server.deals(login)[0].find("\tcredit\t-50.00\tWithdraw"), std::string::npos);

  // Any type other than 1 is a credit change.
  EXPECT_EQ(post(trade(login, 40, 7))["code"].asInt(), 200);
  EXPECT_EQ(server.credit(login), 40.0);
  EXPECT_EQ(server.balance(login), 0.0);

  // A cancellation takes the whole credit, whatever the amount says.
  Json::Value cancel = trade(login, 999, 1);
  cancel["routeType"] = "creditCancel";
  const Json::Value cancelled = post(cancel);
  EXPECT_EQ(cancelled["code"].asInt(), 200);
  EXPECT_EQ(cancelled["data"]["amount"].asDouble(), -40.0);
  EXPECT_EQ(cancelled["data"]["routeType"].asString(), "creditCancel");
  EXPECT_EQ(server.credit(login), 0.0);
  EXPECT_EQ(server.deals(login).size(), 3u);

  // Nothing left to cancel: success, nothing posted.
  const Json::Value nothing = post(cancel);
  EXPECT_EQ(nothing["code"].asInt(), 200);
  EXPECT_EQ(nothing["data"]["order"].asInt64(), -1);
  EXPECT_EQ(server.deals(login).size(), 3u);

  // With no cancellation value configured, a request without a routeType is
  // an ordinary deposit and leaves the credit alone.
  serviceConfig().tradeCancellationCreditTransInfo.clear();
  server.run({"deal", "add", "--login", std::to_string(login), "--amount", "15", "--action", "credit"});
  EXPECT_EQ(post(trade(login, 10, 1))["code"].asInt(), 200);
  EXPECT_EQ(server.balance(login), 10.0);
  EXPECT_EQ(server.credit(login), 15.0);
}

TEST_F(BalanceOperation, ServerResults) {
  const uint64_t login = server.addAccount({"--login", "5000000001", "--balance", "100"});
  ASSERT_EQ(login, 5000000001u);

  // 10009 and 1 are success.
  server.armFault("PostBalanceDeal", mtret::RequestDone);
  EXPECT_EQ(post(trade(login, 10, 1))["code"].asInt(), 200);
  server.armFault("PostBalanceDeal", mtret::OkNone);
  EXPECT_EQ(post(trade(login, 10, 1))["code"].asInt(), 200);

  // A failed post: logged first, then printed, with the whole login.
  server.armFault("PostBalanceDeal", mtret::Error);
  const std::string logBefore = dailyLogText();
  {
    StdoutCapture console;
    const Json::Value failed = post(trade(login, 10, 1));
    EXPECT_EQ(failed["code"].asInt(), -2);
    EXPECT_EQ(failed["data"]["order"].asInt64(), -1);
    EXPECT_EQ(console.text(), "login:5000000001,FinanceBalance fail\n");
  }
  const std::string logAfter = dailyLogText();
  EXPECT_GT(logAfter.size(), logBefore.size());
  EXPECT_NE(logAfter.find(" login:5000000001,FinanceBalance fail\n"), std::string::npos);

  // An unknown account: LoadAccount's code negated, nothing posted.
  const Json::Value unknown = post(trade(777, 10, 1));
  EXPECT_EQ(unknown["code"].asInt(), -static_cast<int>(mtret::NotFound));
  server.armFault("LoadAccount", mtret::Network);
  EXPECT_EQ(post(trade(login, 10, 1))["code"].asInt(), -static_cast<int>(mtret::Network));
  EXPECT_EQ(server.balance(login), 100.0);

  // An amount that is no number of money is refused before the server sees it.
  server.armFault("LoadAccount", mtret::Error);
  for (double bad : {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                     std::numeric_limits<double>::quiet_NaN()}) {
    // (The reply writes infinities as 1e+9999, which no reader takes back.)
    connected.manager.FinanceBalance(trade(login, bad, 1), &sender);
    EXPECT_EQ(sender.replies().back().rfind("{\"code\":-3,", 0), 0u) << sender.replies().back();
    Json::Value floating = trade(login, -500, 1);
    floating["routeType"] = "desk";
    floating["floating"] = bad;
    connected.manager.FinanceBalance(floating, &sender);
    EXPECT_EQ(sender.replies().back().rfind("{\"code\":-3,", 0), 0u) << sender.replies().back();
  }
  EXPECT_NE(server.run({"fault", "list"}).find("LoadAccount\tcode=2"), std::string::npos);
  EXPECT_EQ(sender.replies().size(), 11u);
  EXPECT_EQ(server.balance(login), 100.0);
}

TEST_F(BalanceOperation, DealIdsBeyond32BitsReachTheReplyWhole) {
  const uint64_t login = server.addAccount({"--balance", "0"});
  server.run({"deal", "add", "--login", std::to_string(login), "--amount", "1"});
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(server.database().c_str(), &db), SQLITE_OK);
  EXPECT_EQ(
      sqlite3_exec(db, "UPDATE sqlite_sequence SET seq = 4294967300 WHERE name = 'deals'", nullptr, nullptr, nullptr),
      SQLITE_OK);
  sqlite3_close(db);

  const Json::Value reply = post(trade(login, 5, 1));
  EXPECT_EQ(reply["code"].asInt(), 200);
  EXPECT_EQ(reply["data"]["order"].asInt64(), 4294967301);
  EXPECT_EQ(server.deals(login).back().substr(0, 11), "4294967301\t");
}

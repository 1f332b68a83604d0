// The four operations at once on one manager, from four threads, while deal
// events arrive from the library's thread and deals come from another process.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <sstream>
#include <thread>

#include "ManagerTestSupport.h"

using namespace mgrtest;

namespace {

constexpr int kRounds = 20;

int countOccurrences(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

bool allSucceeded(const RecordingSender& sender, size_t expected) {
  const auto replies = sender.replies();
  EXPECT_EQ(replies.size(), expected);
  return std::all_of(replies.begin(), replies.end(),
                     [](const std::string& r) { return r.rfind("{\"code\":200,", 0) == 0; });
}

}  // namespace

TEST(Concurrency, FourOperationsAtOnceKeepEveryAccountRight) {
  TradeServer server;
  const uint64_t renamed = server.addAccount({"--name", "start"});
  const uint64_t guarded = server.addAccount({"--master-pass", "Pass#start"});
  const uint64_t funded = server.addAccount({"--balance", "1000"});
  ConnectedManager connected(server);
  ASSERT_TRUE(connected.started);
  CManager& manager = connected.manager;
  RecordingSender created, updated, passwords, trades;

  std::thread create([&] {
    for (int i = 0; i < kRounds; ++i) {
      Json::Value r;
      r["login"] = 80000 + i;
      r["name"] = "user " + std::to_string(i);
      r["masterPass"] = "Master#" + std::to_string(i);
      r["investorPass"] = "Invest#" + std::to_string(i);
      manager.CreateUser(r, &created);
    }
  });
  std::thread update([&] {
    for (int i = 0; i < kRounds; ++i) {
      Json::Value r;
      r["login"] = Json::UInt64(renamed);
      r["name"] = "name " + std::to_string(i);
      manager.UpdateUser(r, &updated);
    }
  });
  std::thread password([&] {
    for (int i = 0; i < kRounds; ++i) {
      Json::Value r;
      r["login"] = Json::UInt64(guarded);
      r["type"] = 2;
      r["newPass"] = "Pass#" + std::to_string(i);
      manager.UpdatePassWord(r, &passwords);
    }
  });
  std::thread balance([&] {
    for (int i = 0; i < kRounds; ++i) {
      Json::Value r;
      r["login"] = Json::UInt64(funded);
      r["type"] = 1;
      r["amount"] = i % 2 == 0 ? 10.0 : -3.0;
      manager.FinanceBalance(r, &trades);
    }
  });
  // Another manager's deals on the same account, in another process.
  for (int i = 0; i < 5; ++i) {
    server.run({"deal", "add", "--login", std::to_string(funded), "--amount", "1"});
  }
  for (std::thread* t : {&create, &update, &password, &balance}) t->join();

  EXPECT_TRUE(allSucceeded(created, kRounds));
  EXPECT_TRUE(allSucceeded(updated, kRounds));
  EXPECT_TRUE(allSucceeded(passwords, kRounds));
  EXPECT_TRUE(allSucceeded(trades, kRounds));

  EXPECT_EQ(server.balance(funded), 1000.0 + 10 * 10.0 - 10 * 3.0 + 5 * 1.0);
  EXPECT_EQ(server.deals(funded).size(), static_cast<size_t>(kRounds + 5));
  EXPECT_EQ(server.accountField(renamed, "name"), "name " + std::to_string(kRounds - 1));
  const std::wstring last = L"Pass#" + std::to_wstring(kRounds - 1);
  EXPECT_EQ(server.verifyPassword(MT_PASS_MAIN, guarded, last), mtret::Ok);
  for (int i = 0; i < kRounds; ++i) {
    EXPECT_EQ(server.accountField(80000 + static_cast<uint64_t>(i), "name"), "user " + std::to_string(i));
  }
  // Every deal, ours and the other process's, reached the journal once.
  EXPECT_TRUE(waitFor([&] { return countOccurrences(server.journal(), " has been add") == kRounds + 5; }))
      << server.journal();
  manager.Shutdown();
}

TEST(Concurrency, CallsGoOnWhileTheSessionIsLostAndReopened) {
  TradeServer server;
  const uint64_t funded = server.addAccount({"--balance", "1000"});
  ConnectedManager connected(server);
  ASSERT_TRUE(connected.started);
  CManager& manager = connected.manager;
  SessionState& session = manager.Session();
  RecordingSender trades;
  std::atomic<bool> done{false};

  // Deposits from two threads while a third reopens whatever is lost: each
  // reply is a success or the network's failure, and every success is one
  // deal on the server.
  const auto deposit = [&] {
    while (!done) {
      Json::Value r;
      r["login"] = Json::UInt64(funded);
      r["type"] = 1;
      r["amount"] = 1.0;
      manager.FinanceBalance(r, &trades);
    }
  };
  std::thread first(deposit), second(deposit);
  std::thread keeper([&] {
    while (!done) {
      if (!session.up() && manager.Reopen() == mtret::Ok) session.opened();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  for (int i = 0; i < 3; ++i) {
    server.run({"server", "stop"});
    EXPECT_TRUE(waitFor([&] { return !session.up(); }));
    server.run({"server", "start"});
    EXPECT_TRUE(waitFor([&] { return session.up(); }));
  }
  done = true;
  for (std::thread* t : {&first, &second, &keeper}) t->join();

  size_t succeeded = 0;
  for (const std::string& reply : trades.replies()) {
    if (reply.rfind("{\"code\":200,", 0) == 0) {
      ++succeeded;
    } else {
      const Json::Value parsed = parse(reply);
      const int code = parsed["code"].asInt();
      EXPECT_TRUE(code == -1100 || code == -1103) << reply;
    }
  }
  EXPECT_GT(succeeded, 0u);
  EXPECT_EQ(server.deals(funded).size(), succeeded);
  manager.Shutdown();
}

// Faults armed by the tradesim command (another process) make the next calls
// of an operation fail without effect, take longer before or after acting,
// or act and then answer with a given code; a server stopped meanwhile
// answers Network, with or without the effect.
#include <atomic>
#include <chrono>
#include <limits>
#include <thread>

#include "TestSupport.h"

namespace tradesim::test {
namespace {

class FaultTest : public TradesimTest {
 protected:
  void arm(const std::vector<std::string>& args) {
    std::vector<std::string> command = {"fault", "arm"};
    command.insert(command.end(), args.begin(), args.end());
    const auto result = runTradesim(command);
    ASSERT_EQ(result.status, 0) << result.err;
  }
};

TEST_F(FaultTest, CodeFaultsFailTheNextCallsWithoutEffect) {
  seedAccount(1001, "10");
  arm({"OpenSession", "--code", "1100"});
  ManagerPtr manager = library_.create();
  EXPECT_EQ(manager->OpenSession(kServer, kManager, kManagerPassword, 0, 0, 0, 30000), 1100u);
  ASSERT_EQ(manager->OpenSession(kServer, kManager, kManagerPassword, 0, 0, 0, 30000), mtret::Ok);

  arm({"PostBalanceDeal", "--code", "10019", "--count", "2"});
  uint64_t deal = 0;
  EXPECT_EQ(manager->PostBalanceDeal(1001, 5, MT_DEAL_BALANCE, L"", &deal), 10019u);
  EXPECT_EQ(manager->PostBalanceDeal(1001, 5, MT_DEAL_BALANCE, L"", &deal), 10019u);
  EXPECT_EQ(deal, 0u);
  EXPECT_TRUE(store().listDeals(std::nullopt).empty());
  EXPECT_EQ(manager->PostBalanceDeal(1001, 5, MT_DEAL_BALANCE, L"", &deal), mtret::RequestDone);
  EXPECT_EQ(deal, 1u);

  UserPtr user(manager->NewUserRecord());
  ASSERT_EQ(manager->LoadAccount(1001, user.get()), mtret::Ok);
  arm({"SaveAccount", "--code", "2"});
  arm({"SetPassword", "--code", "3"});
  arm({"VerifyPassword", "--code", "13"});
  arm({"AddAccount", "--code", "3001"});
  arm({"LoadAccount", "--code", "13"});
  arm({"DealRequest", "--code", "2"});
  arm({"ServerTime", "--code", "1104"});
  arm({"AccountRequest", "--code", "1100"});
  arm({"AccountTimes", "--code", "2"});
  user->Name(L"changed");
  EXPECT_EQ(manager->SaveAccount(user.get()), 2u);
  EXPECT_EQ(manager->SetPassword(MT_PASS_MAIN, 1001, L"new"), 3u);
  EXPECT_EQ(manager->VerifyPassword(MT_PASS_MAIN, 1001, L"Master-1"), 13u);
  user->Login(1002);
  EXPECT_EQ(manager->AddAccount(user.get(), L"m", L"i"), 3001u);
  EXPECT_EQ(manager->LoadAccount(1001, user.get()), 13u);
  const auto lookUp = reinterpret_cast<MTManagerDealRequest_t>(library_.symbol("MTManagerDealRequest"));
  ASSERT_NE(lookUp, nullptr);
  MTDealRecord record{};
  uint32_t total = 0;
  const int64_t allTime = std::numeric_limits<int64_t>::max();
  EXPECT_EQ(lookUp(manager.get(), 1001, 0, allTime, &record, 1, &total), 2u);
  EXPECT_EQ(record.deal, 0u);
  const auto serverTime = reinterpret_cast<MTManagerServerTime_t>(library_.symbol("MTManagerServerTime"));
  const auto accountRequest = reinterpret_cast<MTManagerAccountRequest_t>(library_.symbol("MTManagerAccountRequest"));
  const auto accountTimes = reinterpret_cast<MTManagerAccountTimes_t>(library_.symbol("MTManagerAccountTimes"));
  int64_t now = 0;
  MTAccountTimes times{};
  EXPECT_EQ(serverTime(manager.get(), &now), 1104u);
  EXPECT_EQ(accountRequest(manager.get(), 0, allTime, &times, 1, &total), 1100u);
  EXPECT_EQ(accountTimes(manager.get(), 1001, &times), 2u);
  EXPECT_EQ(now, 0);
  EXPECT_EQ(times.login, 0u);
  // Each fault was used up by one call, and none had an effect.
  EXPECT_TRUE(store().listFaults().empty());
  ASSERT_EQ(lookUp(manager.get(), 1001, 0, allTime, &record, 1, &total), mtret::Ok);
  EXPECT_EQ(total, 1u);
  EXPECT_EQ(record.deal, 1u);
  EXPECT_EQ(manager->LoadAccount(1001, user.get()), mtret::Ok);
  EXPECT_EQ(std::wstring(user->Name()), L"Account 1001");
  EXPECT_EQ(user->Balance(), 15.0);
  EXPECT_EQ(manager->VerifyPassword(MT_PASS_MAIN, 1001, L"Master-1"), mtret::Ok);
  EXPECT_EQ(manager->LoadAccount(1002, user.get()), mtret::NotFound);
  EXPECT_EQ(serverTime(manager.get(), &now), mtret::Ok);
  EXPECT_GT(now, 0);
  EXPECT_EQ(accountTimes(manager.get(), 1001, &times), mtret::Ok);
  EXPECT_EQ(times.login, 1001u);
}

TEST_F(FaultTest, DelayFaultsStallAndThenAct) {
  seedAccount(1001, "10");
  ManagerPtr manager = connect();
  arm({"LoadAccount", "--delay-ms", "300"});
  UserPtr user(manager->NewUserRecord());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(manager->LoadAccount(1001, user.get()), mtret::Ok);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  EXPECT_EQ(user->Balance(), 10.0);

  arm({"PostBalanceDeal", "--delay-ms", "100", "--code", "2"});
  uint64_t deal = 0;
  EXPECT_EQ(manager->PostBalanceDeal(1001, 5, MT_DEAL_BALANCE, L"", &deal), 2u);
  EXPECT_TRUE(store().listDeals(std::nullopt).empty());
}

TEST_F(FaultTest, DelayAfterFaultsCommitTheEffectBeforeTheCallReturns) {
  seedAccount(1001, "10");
  // Longer than any test run: the caller is killed inside the call.
  arm({"PostBalanceDeal", "--delay-after-ms", "600000"});
  ChildProcess caller(
      {TRADESIM_POST_HELPER, TRADESIM_LIBRARY, "127.0.0.1:443", std::to_string(kManager), "Mgr-Secret-1", "1001", "5"});
  // The deal is committed and visible here while the caller still waits...
  ASSERT_TRUE(eventually([&] { return !store().listDeals(1001).empty(); }));
  EXPECT_TRUE(caller.running());
  // ...and stays when the caller dies before it learns the result.
  caller.kill();
  const auto deals = store().listDeals(1001);
  ASSERT_EQ(deals.size(), 1u);
  EXPECT_EQ(deals[0].amount, 5 * kMoneyScale);
  AccountRecord account;
  ASSERT_EQ(store().loadAccount(1001, account), mtret::Ok);
  EXPECT_EQ(account.balance, 15 * kMoneyScale);
  EXPECT_TRUE(store().listFaults().empty());

  // A caller that waits it out gets the operation's own result.
  ManagerPtr manager = connect();
  arm({"PostBalanceDeal", "--delay-after-ms", "1"});
  uint64_t deal = 0;
  EXPECT_EQ(manager->PostBalanceDeal(1001, 1, MT_DEAL_BALANCE, L"", &deal), mtret::RequestDone);
  EXPECT_EQ(deal, 2u);
  arm({"SetPassword", "--delay-after-ms", "1"});
  EXPECT_EQ(manager->SetPassword(MT_PASS_MAIN, 1001, L"Changed-1"), mtret::Ok);
  EXPECT_EQ(manager->VerifyPassword(MT_PASS_MAIN, 1001, L"Changed-1"), mtret::Ok);
  arm({"SaveAccount", "--delay-after-ms", "1"});
  UserPtr user(manager->NewUserRecord());
  user->Login(4242);
  EXPECT_EQ(manager->SaveAccount(user.get()), mtret::NotFound);
  EXPECT_TRUE(store().listFaults().empty());
}

TEST_F(FaultTest, CodeAfterFaultsCommitTheEffectAndThenAnswerWithTheCode) {
  seedAccount(1001, "10");
  ManagerPtr manager = connect();
  arm({"PostBalanceDeal", "--code-after", "1100", "--delay-after-ms", "200"});
  EXPECT_NE(runTradesim({"fault", "list"})
                .out.find("PostBalanceDeal\tcode=-\tdelay_ms=0\tremaining=1\t"
                          "delay_after_ms=200\tcode_after=1100\n"),
            std::string::npos);
  uint64_t deal = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(manager->PostBalanceDeal(1001, 5, MT_DEAL_BALANCE, L"lost answer", &deal), mtret::Network);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
  EXPECT_EQ(deal, 0u);  // the id went with the answer
  // The deal was carried out all the same.
  const auto deals = store().listDeals(1001);
  ASSERT_EQ(deals.size(), 1u);
  EXPECT_EQ(deals[0].comment, "lost answer");
  EXPECT_EQ(deals[0].manager, kManager);
  AccountRecord account;
  ASSERT_EQ(store().loadAccount(1001, account), mtret::Ok);
  EXPECT_EQ(account.balance, 15 * kMoneyScale);

  // Without a delay, and on another operation: changed, answered with the code.
  arm({"SetPassword", "--code-after", "1104"});
  EXPECT_EQ(manager->SetPassword(MT_PASS_MAIN, 1001, L"Changed-1"), mtret::Timeout);
  EXPECT_EQ(manager->VerifyPassword(MT_PASS_MAIN, 1001, L"Changed-1"), mtret::Ok);
  // A call that fails on its own is answered with the code too.
  arm({"PostBalanceDeal", "--code-after", "1100"});
  EXPECT_EQ(manager->PostBalanceDeal(4242, 5, MT_DEAL_BALANCE, L"", &deal), mtret::Network);
  EXPECT_EQ(store().listDeals(std::nullopt).size(), 1u);
  // Used up: the next call answers for itself.
  EXPECT_EQ(manager->PostBalanceDeal(1001, 1, MT_DEAL_BALANCE, L"", &deal), mtret::RequestDone);
  EXPECT_EQ(deal, 2u);
  EXPECT_TRUE(store().listFaults().empty());
}

TEST_F(FaultTest, ClearDisarmsAndBadArmingIsRefused) {
  seedAccount(1001);
  arm({"LoadAccount", "--code", "13", "--count", "5"});
  arm({"SetPassword", "--code", "13"});
  arm({"AddAccount", "--delay-ms", "1", "--delay-after-ms", "20"});
  const std::string armed = runTradesim({"fault", "list"}).out;
  EXPECT_NE(armed.find("LoadAccount\tcode=13\tdelay_ms=0\tremaining=5\tdelay_after_ms=0\tcode_after=-\n"),
            std::string::npos)
      << armed;
  EXPECT_NE(armed.find("AddAccount\tcode=-\tdelay_ms=1\tremaining=1\tdelay_after_ms=20\tcode_after=-\n"),
            std::string::npos)
      << armed;
  ASSERT_EQ(runTradesim({"fault", "clear", "AddAccount"}).status, 0);
  ASSERT_EQ(runTradesim({"fault", "clear", "LoadAccount"}).status, 0);
  ASSERT_EQ(store().listFaults().size(), 1u);
  ASSERT_EQ(runTradesim({"fault", "clear"}).status, 0);
  EXPECT_TRUE(store().listFaults().empty());
  ManagerPtr manager = connect();
  UserPtr user(manager->NewUserRecord());
  EXPECT_EQ(manager->LoadAccount(1001, user.get()), mtret::Ok);

  for (const auto& bad :
       std::vector<std::vector<std::string>>{{"fault", "arm", "Dispose", "--code", "2"},
                                             {"fault", "arm", "LoadAccount"},
                                             {"fault", "arm", "LoadAccount", "--code", "x"},
                                             {"fault", "arm", "LoadAccount", "--code", "2", "--count", "0"},
                                             {"fault", "arm", "AddAccount", "--code", "2", "--delay-after-ms", "5"},
                                             {"fault", "arm", "AddAccount", "--code", "2", "--code-after", "1100"},
                                             {"fault", "arm", "AddAccount", "--code-after", "-1"},
                                             {"fault", "clear", "Nothing"}}) {
    const auto result = runTradesim(bad);
    EXPECT_EQ(result.status, 2) << bad[2];
    EXPECT_FALSE(result.err.empty());
  }
  EXPECT_TRUE(store().listFaults().empty());
}

TEST_F(FaultTest, AServerStoppedDuringADelayAnswersNetwork) {
  seedAccount(1001, "10");
  ManagerPtr manager = connect();
  // Long enough for the stop to come inside both delays.
  arm({"SetPassword", "--delay-ms", "1500"});
  arm({"PostBalanceDeal", "--delay-after-ms", "1500"});
  std::atomic<MTAPIRES> changed{0};
  std::atomic<MTAPIRES> posted{0};
  uint64_t deal = 0;
  std::thread before([&] { changed = manager->SetPassword(MT_PASS_MAIN, 1001, L"Changed-1"); });
  std::thread after([&] { posted = manager->PostBalanceDeal(1001, 5, MT_DEAL_BALANCE, L"", &deal); });
  // Both faults taken, and the post made.
  ASSERT_TRUE(eventually([&] { return store().listFaults().empty() && !store().listDeals(1001).empty(); }));
  ASSERT_TRUE(store().setServerRunning(false));
  before.join();
  after.join();

  // Stopped before acting: the call never reached the server.
  EXPECT_EQ(changed.load(), mtret::Network);
  EXPECT_EQ(store().verifyPassword(MT_PASS_MAIN, 1001, "Master-1"), mtret::Ok);
  // Acted, then the answer was lost with the session.
  EXPECT_EQ(posted.load(), mtret::Network);
  EXPECT_EQ(deal, 0u);
  EXPECT_EQ(store().listDeals(1001).size(), 1u);
  AccountRecord account;
  ASSERT_EQ(store().loadAccount(1001, account), mtret::Ok);
  EXPECT_EQ(account.balance, 15 * kMoneyScale);
}

}  // namespace
}  // namespace tradesim::test

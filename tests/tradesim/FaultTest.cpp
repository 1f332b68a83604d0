// Faults armed by the tradesim command (another process) make the next calls
// of an operation fail without effect or take longer.
#include <chrono>

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
  user->Name(L"changed");
  EXPECT_EQ(manager->SaveAccount(user.get()), 2u);
  EXPECT_EQ(manager->SetPassword(MT_PASS_MAIN, 1001, L"new"), 3u);
  EXPECT_EQ(manager->VerifyPassword(MT_PASS_MAIN, 1001, L"Master-1"), 13u);
  user->Login(1002);
  EXPECT_EQ(manager->AddAccount(user.get(), L"m", L"i"), 3001u);
  EXPECT_EQ(manager->LoadAccount(1001, user.get()), 13u);
  // Each fault was used up by one call, and none had an effect.
  EXPECT_TRUE(store().listFaults().empty());
  EXPECT_EQ(manager->LoadAccount(1001, user.get()), mtret::Ok);
  EXPECT_EQ(std::wstring(user->Name()), L"Account 1001");
  EXPECT_EQ(user->Balance(), 15.0);
  EXPECT_EQ(manager->VerifyPassword(MT_PASS_MAIN, 1001, L"Master-1"), mtret::Ok);
  EXPECT_EQ(manager->LoadAccount(1002, user.get()), mtret::NotFound);
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

TEST_F(FaultTest, ClearDisarmsAndBadArmingIsRefused) {
  seedAccount(1001);
  arm({"LoadAccount", "--code", "13", "--count", "5"});
  arm({"SetPassword", "--code", "13"});
  EXPECT_NE(runTradesim({"fault", "list"}).out.find("LoadAccount\tcode=13\tdelay_ms=0\tremaining=5"),
            std::string::npos);
  ASSERT_EQ(runTradesim({"fault", "clear", "LoadAccount"}).status, 0);
  ASSERT_EQ(store().listFaults().size(), 1u);
  ASSERT_EQ(runTradesim({"fault", "clear"}).status, 0);
  EXPECT_TRUE(store().listFaults().empty());
  ManagerPtr manager = connect();
  UserPtr user(manager->NewUserRecord());
  EXPECT_EQ(manager->LoadAccount(1001, user.get()), mtret::Ok);

  for (const auto& bad : std::vector<std::vector<std::string>>{{"fault", "arm", "Dispose", "--code", "2"},
                                                               {"fault", "arm", "LoadAccount"},
                                                               {"fault", "arm", "LoadAccount", "--code", "x"},
                                                               {"fault", "arm", "LoadAccount", "--code", "2",
                                                                "--count", "0"},
                                                               {"fault", "clear", "Nothing"}}) {
    const auto result = runTradesim(bad);
    EXPECT_EQ(result.status, 2) << bad[2];
    EXPECT_FALSE(result.err.empty());
  }
  EXPECT_TRUE(store().listFaults().empty());
}

}  // namespace
}  // namespace tradesim::test

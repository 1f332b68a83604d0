// Logging in: the server answers wrong address, unknown manager and wrong
// password with distinct codes, and account operations need a session.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "TestSupport.h"
#include "tradesim/Journal.h"

namespace tradesim::test {
namespace {

class SessionTest : public TradesimTest {};

TEST_F(SessionTest, OpenSessionAnswersEachFailureWithItsOwnCode) {
  ManagerPtr manager = library_.create();
  ASSERT_TRUE(manager);
  EXPECT_EQ(manager->OpenSession(L"127.0.0.1:444", kManager, kManagerPassword, 0, 0, 0, 30000), mtret::Network);
  EXPECT_EQ(manager->OpenSession(kServer, kManager + 1, kManagerPassword, 0, 0, 0, 30000), mtret::ManagerUnknown);
  EXPECT_EQ(manager->OpenSession(kServer, kManager, L"wrong", 0, 0, 0, 30000), mtret::AuthFailed);
  EXPECT_EQ(manager->OpenSession(nullptr, kManager, kManagerPassword, 0, 0, 0, 30000), mtret::InvalidParams);
  EXPECT_EQ(manager->OpenSession(kServer, kManager, kManagerPassword, 0, 0, 0, 30000), mtret::Ok);

  // A manager added later (by the command) can log in too.
  ASSERT_EQ(runTradesim({"manager", "add", "--login", "2000", "--password", "Other-2"}).status, 0);
  ManagerPtr other = library_.create();
  EXPECT_EQ(other->OpenSession(kServer, 2000, L"Other-2", 0, 0, 0, 30000), mtret::Ok);
}

TEST_F(SessionTest, AccountOperationsNeedASessionButSinksDoNot) {
  seedAccount(5001, "10");
  ManagerPtr manager = library_.create();
  ASSERT_TRUE(manager);
  UserPtr user(manager->NewUserRecord());
  ASSERT_TRUE(user);
  uint64_t deal = 0;
  EXPECT_EQ(manager->LoadAccount(5001, user.get()), mtret::NotConnected);
  EXPECT_EQ(manager->AddAccount(user.get(), L"a", L"b"), mtret::NotConnected);
  EXPECT_EQ(manager->SaveAccount(user.get()), mtret::NotConnected);
  EXPECT_EQ(manager->VerifyPassword(0, 5001, L"Master-1"), mtret::NotConnected);
  EXPECT_EQ(manager->SetPassword(0, 5001, L"x"), mtret::NotConnected);
  EXPECT_EQ(manager->PostBalanceDeal(5001, 1.0, 2, L"", &deal), mtret::NotConnected);
  const auto serverTime = reinterpret_cast<MTManagerServerTime_t>(library_.symbol("MTManagerServerTime"));
  const auto accountRequest = reinterpret_cast<MTManagerAccountRequest_t>(library_.symbol("MTManagerAccountRequest"));
  const auto accountTimes = reinterpret_cast<MTManagerAccountTimes_t>(library_.symbol("MTManagerAccountTimes"));
  ASSERT_TRUE(serverTime && accountRequest && accountTimes);
  int64_t now = 0;
  uint32_t total = 9;
  MTAccountTimes times{};
  EXPECT_EQ(serverTime(manager.get(), &now), mtret::NotConnected);
  EXPECT_EQ(accountRequest(manager.get(), 0, INT64_MAX, &times, 1, &total), mtret::NotConnected);
  EXPECT_EQ(accountTimes(manager.get(), 5001, &times), mtret::NotConnected);
  EXPECT_EQ(now, 0);
  EXPECT_EQ(total, 0u);
  EXPECT_EQ(times.login, 0u);

  struct : IMTDealSink {
  } sink;
  EXPECT_EQ(manager->AttachDealSink(&sink), mtret::Ok);
  EXPECT_EQ(manager->DetachDealSink(&sink), mtret::Ok);

  ASSERT_EQ(manager->OpenSession(kServer, kManager, kManagerPassword, 0, 0, 0, 30000), mtret::Ok);
  EXPECT_EQ(manager->LoadAccount(5001, user.get()), mtret::Ok);
  // A failed log-in closes the session again.
  EXPECT_EQ(manager->OpenSession(kServer, kManager, L"wrong", 0, 0, 0, 30000), mtret::AuthFailed);
  EXPECT_EQ(manager->LoadAccount(5001, user.get()), mtret::NotConnected);
  AccountRecord unchanged;
  ASSERT_EQ(store().loadAccount(5001, unchanged), mtret::Ok);
  EXPECT_EQ(unchanged.balance, 10 * kMoneyScale);
}

TEST_F(SessionTest, ServerTimeIsTheServersClock) {
  const auto serverTime = reinterpret_cast<MTManagerServerTime_t>(library_.symbol("MTManagerServerTime"));
  ASSERT_NE(serverTime, nullptr);
  ManagerPtr manager = connect();
  const int64_t before = nowEpochMs();
  int64_t now = 0;
  ASSERT_EQ(serverTime(manager.get(), &now), mtret::Ok);
  EXPECT_GE(now, before);
  EXPECT_LE(now, nowEpochMs());
  EXPECT_EQ(serverTime(manager.get(), nullptr), mtret::InvalidParams);
  EXPECT_EQ(serverTime(nullptr, &now), mtret::InvalidParams);

  // The command reads the same clock.
  const auto printed = runTradesim({"time"});
  ASSERT_EQ(printed.status, 0) << printed.err;
  ASSERT_EQ(printed.out.rfind("now=", 0), 0u) << printed.out;
  EXPECT_GE(std::stoll(printed.out.substr(4)), now);
  EXPECT_LE(std::stoll(printed.out.substr(4)), nowEpochMs());
}

TEST_F(SessionTest, ADatabaseOfAnOlderSchemaIsRefusedClearly) {
  seedAccount(5001);
  store_.reset();
  {
    sqlite::Connection db(databasePath(), sqlite::Connection::Open::ReadWrite);
    db.exec("PRAGMA user_version = 2");
  }
  try {
    Store refused(databasePath());
    ADD_FAILURE() << "an older schema was opened";
  } catch (const sqlite::Error& e) {
    EXPECT_NE(std::string(e.what()).find("schema version 2, this build needs schema version 3"), std::string::npos)
        << e.what();
  }
  const auto shown = runTradesim({"account", "show", "5001"});
  EXPECT_EQ(shown.status, 1);
  EXPECT_NE(shown.err.find("needs schema version 3"), std::string::npos) << shown.err;
  EXPECT_NE(shown.err.find("tradesim init --force"), std::string::npos) << shown.err;
  ManagerPtr manager = library_.create();
  EXPECT_EQ(manager->OpenSession(kServer, kManager, kManagerPassword, 0, 0, 0, 30000), mtret::Network);
}

TEST_F(SessionTest, MissingOrForeignDatabaseIsAnUnreachableServer) {
  const std::string missing = dir_.file("absent.db");
  setenv("TRADESIM_DB", missing.c_str(), 1);
  ManagerPtr manager = library_.create();
  ASSERT_TRUE(manager);
  EXPECT_EQ(manager->OpenSession(kServer, kManager, kManagerPassword, 0, 0, 0, 30000), mtret::Network);
  EXPECT_NE(access(missing.c_str(), F_OK), 0) << "the library must not create a database";

  const std::string foreign = dir_.file("foreign.db");
  {
    sqlite::Connection other(foreign, sqlite::Connection::Open::Create);
    other.exec("CREATE TABLE x (y)");
  }
  setenv("TRADESIM_DB", foreign.c_str(), 1);
  ManagerPtr second = library_.create();
  EXPECT_EQ(second->OpenSession(kServer, kManager, kManagerPassword, 0, 0, 0, 30000), mtret::Network);
}

}  // namespace
}  // namespace tradesim::test

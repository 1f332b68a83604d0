// Logging in: the server answers wrong address, unknown manager and wrong
// password with distinct codes, account operations need a session, a
// stopped server ends every session, and subscribed sinks hear of it.
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "TestSupport.h"
#include "tradesim/Journal.h"

namespace tradesim::test {
namespace {

class SessionTest : public TradesimTest {
 protected:
  MTAPIRES subscribe(IMTManagerAPI* manager, IMTManagerSink* sink) {
    const auto entry = reinterpret_cast<MTManagerSubscribe_t>(library_.symbol("MTManagerSubscribe"));
    return entry ? entry(manager, sink) : 999u;
  }
  MTAPIRES unsubscribe(IMTManagerAPI* manager, IMTManagerSink* sink) {
    const auto entry = reinterpret_cast<MTManagerUnsubscribe_t>(library_.symbol("MTManagerUnsubscribe"));
    return entry ? entry(manager, sink) : 999u;
  }
  MTAPIRES open(IMTManagerAPI* manager) {
    return manager->OpenSession(kServer, kManager, kManagerPassword, 0, 0, 0, 30000);
  }

  // The result of every call that needs a session, by name (account 5001).
  std::map<std::string, MTAPIRES> everyCall(IMTManagerAPI* manager) {
    UserPtr user(manager->NewUserRecord());
    user->Login(5001);
    uint64_t deal = 0;
    int64_t now = 0;
    uint32_t total = 0;
    MTDealRecord record{};
    MTAccountTimes times{};
    const auto dealRequest = reinterpret_cast<MTManagerDealRequest_t>(library_.symbol("MTManagerDealRequest"));
    const auto serverTime = reinterpret_cast<MTManagerServerTime_t>(library_.symbol("MTManagerServerTime"));
    const auto accountRequest = reinterpret_cast<MTManagerAccountRequest_t>(library_.symbol("MTManagerAccountRequest"));
    const auto accountTimes = reinterpret_cast<MTManagerAccountTimes_t>(library_.symbol("MTManagerAccountTimes"));
    return {{"LoadAccount", manager->LoadAccount(5001, user.get())},
            {"SaveAccount", manager->SaveAccount(user.get())},
            {"AddAccount", manager->AddAccount(user.get(), L"m", L"i")},
            {"VerifyPassword", manager->VerifyPassword(MT_PASS_MAIN, 5001, L"Master-1")},
            {"SetPassword", manager->SetPassword(MT_PASS_MAIN, 5001, L"Changed-1")},
            {"PostBalanceDeal", manager->PostBalanceDeal(5001, 1.0, MT_DEAL_BALANCE, L"", &deal)},
            {"DealRequest", dealRequest(manager, 5001, 0, INT64_MAX, &record, 1, &total)},
            {"ServerTime", serverTime(manager, &now)},
            {"AccountRequest", accountRequest(manager, 0, INT64_MAX, &times, 1, &total)},
            {"AccountTimes", accountTimes(manager, 5001, &times)}};
  }
  void expectEveryCall(IMTManagerAPI* manager, MTAPIRES expected) {
    for (const auto& [name, result] : everyCall(manager)) EXPECT_EQ(result, expected) << name;
  }
};

// Records session notifications in order ('c' connect, 'd' disconnect) and
// the threads they came on.
class SessionLog : public IMTManagerSink {
 public:
  void OnConnect() override { record('c'); }
  void OnDisconnect() override { record('d'); }
  std::string seen() {
    std::lock_guard lock(mutex_);
    return seen_;
  }
  std::set<std::thread::id> threads() {
    std::lock_guard lock(mutex_);
    return threads_;
  }

 protected:
  virtual void during() {}

 private:
  void record(char what) {
    during();
    std::lock_guard lock(mutex_);
    seen_ += what;
    threads_.insert(std::this_thread::get_id());
  }
  std::mutex mutex_;
  std::string seen_;
  std::set<std::thread::id> threads_;
};

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
  // And its password changed by the command.
  EXPECT_EQ(runTradesim({"manager", "password", "--login", "2000", "--password", "New-3"}).out, "manager=2000\n");
  EXPECT_EQ(other->OpenSession(kServer, 2000, L"Other-2", 0, 0, 0, 30000), mtret::AuthFailed);
  EXPECT_EQ(other->OpenSession(kServer, 2000, L"New-3", 0, 0, 0, 30000), mtret::Ok);
  const auto unknown = runTradesim({"manager", "password", "--login", "2001", "--password", "x"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.err.find("manager 2001 not found"), std::string::npos) << unknown.err;
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

TEST_F(SessionTest, AVersion3DatabaseIsUpgradedInPlaceAndOlderOnesAreRefused) {
  seedAccount(5001);
  store_.reset();
  const auto setVersion = [&](const char* sql) {
    sqlite::Connection db(databasePath(), sqlite::Connection::Open::ReadWrite);
    db.exec(sql);
  };
  // Version 3 as it was: the server row without its run state.
  setVersion("ALTER TABLE server DROP COLUMN running; ALTER TABLE server DROP COLUMN run; PRAGMA user_version = 3");
  const auto status = runTradesim({"server", "status"});
  EXPECT_EQ(status.out, "running\n") << status.err;
  ManagerPtr upgraded = connect();
  EXPECT_EQ(runTradesim({"account", "show", "5001"}).status, 0);
  upgraded.reset();

  setVersion("PRAGMA user_version = 2");
  try {
    Store refused(databasePath());
    ADD_FAILURE() << "an older schema was opened";
  } catch (const sqlite::Error& e) {
    EXPECT_NE(std::string(e.what()).find("schema version 2, this build needs schema version 4"), std::string::npos)
        << e.what();
  }
  const auto shown = runTradesim({"account", "show", "5001"});
  EXPECT_EQ(shown.status, 1);
  EXPECT_NE(shown.err.find("needs schema version 4"), std::string::npos) << shown.err;
  EXPECT_NE(shown.err.find("tradesim init --force"), std::string::npos) << shown.err;
  ManagerPtr manager = library_.create();
  EXPECT_EQ(open(manager.get()), mtret::Network);
}

TEST_F(SessionTest, AStoppedServerAnswersNetworkAndEndsEverySession) {
  seedAccount(5001, "10");
  ManagerPtr manager = connect();
  ManagerPtr idle = library_.create();  // never logged in
  // A stopped server takes no fault: it is still armed once started.
  store().armFault({"LoadAccount", 13u, std::nullopt, 0, 0, 1});
  ASSERT_EQ(runTradesim({"server", "stop"}).out, "server stopped\n");

  expectEveryCall(manager.get(), mtret::Network);
  expectEveryCall(idle.get(), mtret::Network);
  EXPECT_EQ(manager->WriteJournal(MT_JOURNAL_INFO, L"lost"), mtret::Network);
  EXPECT_EQ(open(manager.get()), mtret::Network);
  EXPECT_EQ(open(idle.get()), mtret::Network);
  EXPECT_TRUE(store().listDeals(std::nullopt).empty());
  EXPECT_EQ(store().listFaults().size(), 1u);
  EXPECT_EQ(readFile(journalPath()), "");

  ASSERT_EQ(runTradesim({"server", "start"}).out, "server started\n");
  // The session ended with the stop: none until it is opened again.
  expectEveryCall(manager.get(), mtret::NotConnected);
  expectEveryCall(idle.get(), mtret::NotConnected);
  EXPECT_EQ(manager->WriteJournal(MT_JOURNAL_INFO, L"kept"), mtret::Ok);
  ASSERT_EQ(open(manager.get()), mtret::Ok);
  UserPtr user(manager->NewUserRecord());
  EXPECT_EQ(manager->LoadAccount(5001, user.get()), 13u);
  EXPECT_EQ(manager->LoadAccount(5001, user.get()), mtret::Ok);

  // A stop and a start between two calls end the session too.
  ASSERT_TRUE(store().setServerRunning(false));
  ASSERT_TRUE(store().setServerRunning(true));
  EXPECT_EQ(manager->LoadAccount(5001, user.get()), mtret::NotConnected);
}

TEST_F(SessionTest, SubscribedSinksHearOfEveryDropAndReopening) {
  seedAccount(5001);
  ManagerPtr manager = library_.create();
  SessionLog log;
  ASSERT_EQ(subscribe(manager.get(), &log), mtret::Ok);
  EXPECT_EQ(subscribe(manager.get(), &log), mtret::Ok);  // still one subscription
  EXPECT_EQ(subscribe(manager.get(), nullptr), mtret::InvalidParams);
  EXPECT_EQ(subscribe(nullptr, &log), mtret::InvalidParams);
  ASSERT_EQ(open(manager.get()), mtret::Ok);
  ASSERT_TRUE(eventually([&] { return log.seen() == "c"; })) << log.seen();

  // Noticed by the library itself: no call is made.
  ASSERT_EQ(runTradesim({"server", "stop"}).status, 0);
  ASSERT_TRUE(eventually([&] { return log.seen() == "cd"; })) << log.seen();
  expectEveryCall(manager.get(), mtret::Network);
  ASSERT_EQ(runTradesim({"server", "start"}).status, 0);
  ASSERT_EQ(open(manager.get()), mtret::Ok);
  // In order on one thread: a second 'd' for the same drop would come first.
  ASSERT_TRUE(eventually([&] { return log.seen().size() >= 3; }));
  EXPECT_EQ(log.seen(), "cdc");

  // A stop and a start between two looks of the library still end it.
  ASSERT_TRUE(store().setServerRunning(false));
  ASSERT_TRUE(store().setServerRunning(true));
  ASSERT_TRUE(eventually([&] { return log.seen() == "cdcd"; })) << log.seen();
  UserPtr user(manager->NewUserRecord());
  EXPECT_EQ(manager->LoadAccount(5001, user.get()), mtret::NotConnected);
  // A failed log-in over an open session ends it as well.
  ASSERT_EQ(open(manager.get()), mtret::Ok);
  EXPECT_EQ(manager->OpenSession(kServer, kManager, L"wrong", 0, 0, 0, 30000), mtret::AuthFailed);
  ASSERT_TRUE(eventually([&] { return log.seen() == "cdcdcd"; })) << log.seen();
  EXPECT_EQ(log.threads().count(std::this_thread::get_id()), 0u);

  EXPECT_EQ(unsubscribe(manager.get(), &log), mtret::Ok);
  EXPECT_EQ(unsubscribe(manager.get(), &log), mtret::NotFound);
  EXPECT_EQ(unsubscribe(manager.get(), nullptr), mtret::InvalidParams);
}

// Stays inside its first notification until released.
class SlowSessionLog : public SessionLog {
 public:
  std::atomic<bool> inside{false};
  std::atomic<bool> release{false};

 protected:
  void during() override {
    inside = true;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    inside = false;
  }
};

// Unsubscribes, or releases the manager object, from inside its notification.
class LeavingSessionLog : public SessionLog {
 public:
  std::function<void()> leave;

 protected:
  void during() override {
    if (leave) std::exchange(leave, nullptr)();
  }
};

TEST_F(SessionTest, UnsubscribeWaitsForARunningNotificationAndSinksMayLeaveFromOne) {
  ManagerPtr manager = connect();
  SlowSessionLog slow;
  LeavingSessionLog self;
  SessionLog witness;
  std::atomic<MTAPIRES> selfResult{999};
  self.leave = [&] { selfResult = unsubscribe(manager.get(), &self); };
  ASSERT_EQ(subscribe(manager.get(), &slow), mtret::Ok);
  ASSERT_EQ(subscribe(manager.get(), &self), mtret::Ok);
  ASSERT_EQ(subscribe(manager.get(), &witness), mtret::Ok);
  ASSERT_TRUE(store().setServerRunning(false));
  ASSERT_TRUE(eventually([&] { return slow.inside.load(); }));

  std::atomic<bool> insideAtReturn{true};
  std::thread leaver([&] {
    EXPECT_EQ(unsubscribe(manager.get(), &slow), mtret::Ok);
    insideAtReturn = slow.inside.load();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  slow.release = true;
  leaver.join();
  EXPECT_FALSE(insideAtReturn) << "unsubscribe returned while the notification was still running";
  ASSERT_TRUE(eventually([&] { return witness.seen() == "d"; }));
  EXPECT_EQ(selfResult.load(), mtret::Ok);

  ASSERT_TRUE(store().setServerRunning(true));
  ASSERT_EQ(open(manager.get()), mtret::Ok);
  ASSERT_TRUE(eventually([&] { return witness.seen() == "dc"; }));
  EXPECT_EQ(slow.seen(), "d");
  EXPECT_EQ(self.seen(), "d");

  // Released from its own notification: the library ends the object once
  // the notification returns, and nothing is told afterwards.
  LeavingSessionLog releasing;
  IMTManagerAPI* raw = manager.get();
  std::atomic<bool> released{false};
  releasing.leave = [&] {
    raw->Release();
    released = true;
  };
  ASSERT_EQ(subscribe(raw, &releasing), mtret::Ok);
  manager.release();
  ASSERT_TRUE(store().setServerRunning(false));
  ASSERT_TRUE(eventually([&] { return released.load(); }));
  EXPECT_EQ(releasing.seen(), "d");
  EXPECT_EQ(witness.seen(), "dcd");
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

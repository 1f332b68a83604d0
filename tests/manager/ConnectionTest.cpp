// Start, Connect and Shutdown against a real trading-server database.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <thread>

#include "ManagerTestSupport.h"

using namespace mgrtest;

namespace {

std::wstring wide(const char* text) { return std::wstring(text, text + std::char_traits<char>::length(text)); }

}  // namespace

TEST(Connection, BadArgumentsFailBeforeAnythingLoads) {
  TradeServer server;
  const std::wstring address = wide(TradeServer::kServer);
  struct Case {
    const wchar_t* server;
    int64_t login;
    const wchar_t* password;
  };
  for (const Case& c : {Case{address.c_str(), 0, TradeServer::kManagerPassword},
                        Case{nullptr, TradeServer::kManagerLogin, TradeServer::kManagerPassword},
                        Case{address.c_str(), TradeServer::kManagerLogin, nullptr},
                        Case{L"", TradeServer::kManagerLogin, TradeServer::kManagerPassword}}) {
    CManager manager(server.executable());
    StdoutCapture console;
    EXPECT_FALSE(manager.Start(c.server, c.login, c.password));
    EXPECT_EQ(console.text(), "Dealer: starting failed with bad arguments\n");
    EXPECT_FALSE(manager.Library().IsLoaded());
    EXPECT_FALSE(manager.HasManager());
  }
  EXPECT_EQ(server.journal(), "");
}

TEST(Connection, LogsInOrJournalsTheFailure) {
  TradeServer server;
  const std::wstring address = wide(TradeServer::kServer);
  {
    CManager manager(server.executable());
    StdoutCapture console;
    EXPECT_TRUE(manager.Start(address.c_str(), TradeServer::kManagerLogin, TradeServer::kManagerPassword));
    EXPECT_EQ(console.text(), "Manager API version 2280 has been loaded\n");
  }
  EXPECT_EQ(server.journal(), "");

  struct Case {
    std::wstring server;
    int64_t login;
    std::wstring password;
    MTAPIRES code;
  };
  const Case cases[] = {
      {address, TradeServer::kManagerLogin, L"wrong", mtret::AuthFailed},
      {address, 4242, TradeServer::kManagerPassword, mtret::ManagerUnknown},
      {L"10.0.0.1:443", TradeServer::kManagerLogin, TradeServer::kManagerPassword, mtret::Network},
  };
  size_t lines = 0;
  for (const Case& c : cases) {
    CManager manager(server.executable());
    StdoutCapture console;
    EXPECT_FALSE(manager.Start(c.server.c_str(), c.login, c.password.c_str()));
    // Nothing on the console beyond the version line: the failure goes to the journal.
    EXPECT_EQ(console.text(), "Manager API version 2280 has been loaded\n");
    const std::string journal = server.journal();
    const std::string expected = "\t2\tConnection failed (" + std::to_string(c.code) + ")\n";
    EXPECT_NE(journal.find(expected), std::string::npos) << journal;
    EXPECT_EQ(std::count(journal.begin(), journal.end(), '\n'), static_cast<long>(++lines)) << journal;
    // The steps already done stand until Shutdown.
    EXPECT_TRUE(manager.HasManager());
    manager.Shutdown();
    EXPECT_FALSE(manager.HasManager());
    EXPECT_FALSE(manager.Library().IsLoaded());
  }
  // The password never reaches the journal.
  EXPECT_EQ(server.journal().find("wrong"), std::string::npos);
}

namespace {

std::string exitLibraryPath;

// Runs after the process-wide manager's destructor (registered before it was
// made): gives the library's threads time to run, then tells whether the
// library is still mapped.
void afterManagerTeardown() {
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  void* handle = ::dlopen(exitLibraryPath.c_str(), RTLD_NOW | RTLD_NOLOAD);
  ::_exit(handle ? 4 : 0);
}

}  // namespace

TEST(Connection, ManagerStillLiveAtProcessEndIsTakenDownCleanly) {
  TradeServer server;
  const uint64_t login = server.addAccount({"--balance", "10"});
  exitLibraryPath = (fs::path(server.executable()).parent_path() / MT_MANAGER_LIBRARY_NAME).string();
  // A process-wide manager, logged in and receiving deal events, left to the
  // end of the process as a normal stop does: it is detached and released
  // before the library goes, so no library thread runs in unmapped code.
  EXPECT_EXIT(
      {
        std::atexit(afterManagerTeardown);
        static CManager manager(server.executable());
        const std::wstring address = wide(TradeServer::kServer);
        if (!manager.Start(address.c_str(), TradeServer::kManagerLogin, TradeServer::kManagerPassword)) {
          std::_Exit(3);
        }
        server.run({"deal", "add", "--login", std::to_string(login), "--amount", "5"});
        waitFor([&] { return server.journal().find("has been add") != std::string::npos; });
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_NE(server.journal().find("has been add"), std::string::npos);
}

TEST(Connection, ALostSessionIsNoticedAndReopenedWithItsDealSink) {
  TradeServer server;
  const uint64_t login = server.addAccount({"--balance", "10"});
  ConnectedManager connected(server);
  ASSERT_TRUE(connected.started);
  CManager& manager = connected.manager;
  SessionState& session = manager.Session();
  EXPECT_TRUE(session.up());

  // No call made: the library's session sink tells of the loss.
  server.run({"server", "stop"});
  ASSERT_TRUE(waitFor([&] { return !session.up(); }));
  const uint64_t losses = session.losses();
  EXPECT_EQ(session.waitForLoss(), std::optional<std::string>("the trading server ended the session"));
  // While the server is away a reopen meets the network error, and a call
  // counts one more loss (named by the call), without posting anything.
  EXPECT_EQ(manager.Reopen(), mtret::Network);
  RecordingSender sender;
  manager.FinanceBalance(parse("{\"login\":" + std::to_string(login) + ",\"amount\":5,\"type\":1}"), &sender);
  EXPECT_GT(session.losses(), losses);
  EXPECT_EQ(server.deals(login).size(), 0u);

  // Started again: the reopen works, deal events are followed again, and
  // one that came while the session was down is written once.
  server.run({"deal", "add", "--login", std::to_string(login), "--amount", "7"});
  server.run({"server", "start"});
  EXPECT_EQ(manager.Reopen(), mtret::Ok);
  session.opened();
  server.run({"deal", "add", "--login", std::to_string(login), "--amount", "8"});
  ASSERT_TRUE(waitFor([&] {
    const std::string journal = server.journal();
    return std::count(journal.begin(), journal.end(), '\n') >= 2;
  }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // room for a line written twice
  const std::string journal = server.journal();
  EXPECT_EQ(std::count(journal.begin(), journal.end(), '\n'), 2) << journal;

  // A reopen the server refuses for the manager's password.
  server.run({"server", "stop"});
  ASSERT_TRUE(waitFor([&] { return !session.up(); }));
  server.run({"manager", "password", "--login", std::to_string(TradeServer::kManagerLogin), "--password", "Other#2"});
  server.run({"server", "start"});
  EXPECT_EQ(manager.Reopen(), mtret::AuthFailed);
}

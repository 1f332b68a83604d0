// Finding and loading the Manager API library, against the real trading
// server library and its variants laid out in temporary directory trees.
#include <dlfcn.h>
#include <sqlite3.h>

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <memory>
#include <vector>

#include "ManagerTestSupport.h"
#include "manager/ManagerApiLibrary.h"

using namespace mgrtest;

namespace {

struct ManagerRelease {
  void operator()(IMTManagerAPI* manager) const { manager->Release(); }
};
using ManagerPtr = std::unique_ptr<IMTManagerAPI, ManagerRelease>;

ManagerPtr newManager(const ManagerApiLibrary& library) {
  IMTManagerAPI* manager = nullptr;
  EXPECT_EQ(library.NewManagerObject(MTManagerAPIVersion, &manager), mtret::Ok);
  return ManagerPtr(manager);
}

// Whether the library object at `path` is still mapped into the process.
bool stillMapped(const fs::path& path) {
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (!handle) return false;
  ::dlclose(handle);
  return true;
}

}  // namespace

TEST(LibraryLoader, SearchesBesideTheExecutableAndUpToFourLevelsAbove) {
  TempDir tree;
  const fs::path root = tree.path();
  const std::string exe = (root / "a/b/c/d/mqbridge").string();
  fs::create_directories(root / "a/b/c/d");

  // Only in libs/ two levels above the executable's own directory.
  placeLibrary(TRADESIM_LIBRARY, root / "a/b/libs");
  {
    ManagerApiLibrary library(exe);
    EXPECT_EQ(library.Load(), mtret::Ok);
    EXPECT_TRUE(library.IsLoaded());
    EXPECT_EQ(library.LoadedPath(), (root / "a/b/libs" / MT_MANAGER_LIBRARY_NAME).string());
    uint32_t version = 0;
    EXPECT_EQ(library.QueryVersion(version), mtret::Ok);
    EXPECT_EQ(version, MTManagerAPIVersion);
  }
  // A nearer directory wins; within one directory the file beats libs/.
  placeLibrary(TRADESIM_LIBRARY, root / "a/b/c/libs");
  placeLibrary(TRADESIM_LIBRARY, root / "a/b/c");
  {
    ManagerApiLibrary library(exe);
    EXPECT_EQ(library.Load(), mtret::Ok);
    EXPECT_EQ(library.LoadedPath(), (root / "a/b/c" / MT_MANAGER_LIBRARY_NAME).string());
  }
  fs::remove(root / "a/b/c" / MT_MANAGER_LIBRARY_NAME);
  {
    ManagerApiLibrary library(exe);
    EXPECT_EQ(library.Load(), mtret::Ok);
    EXPECT_EQ(library.LoadedPath(), (root / "a/b/c/libs" / MT_MANAGER_LIBRARY_NAME).string());
  }
  // A directory given to Load is tried first.
  placeLibrary(TRADESIM_LIBRARY, root / "given");
  {
    ManagerApiLibrary library(exe);
    EXPECT_EQ(library.Load((root / "given").string()), mtret::Ok);
    EXPECT_EQ(library.LoadedPath(), (root / "given" / MT_MANAGER_LIBRARY_NAME).string());
  }
}

TEST(LibraryLoader, NothingFoundHandsTheBareNameToTheLoader) {
  TempDir tree;
  const fs::path root = tree.path();
  // The executable's directory f/ and four above it (e/ to b/) are searched;
  // a/ is the fifth above.
  fs::create_directories(root / "a/b/c/d/e/f/g");
  placeLibrary(TRADESIM_LIBRARY, root / "a");
  placeLibrary(TRADESIM_LIBRARY, root / "a/libs");
  placeLibrary(TRADESIM_LIBRARY, root / "a/b/c/d/e/f/g");  // below: never searched
  ManagerApiLibrary library((root / "a/b/c/d/e/f/mqbridge").string());

  EXPECT_EQ(library.Load(), mtret::NotFound);
  EXPECT_EQ(library.LoadedPath(), MT_MANAGER_LIBRARY_NAME);
  EXPECT_FALSE(library.IsLoaded());

  uint32_t version = 7;
  EXPECT_EQ(library.QueryVersion(version), mtret::Error);
  EXPECT_EQ(version, 7u);
  IMTManagerAPI* manager = nullptr;
  EXPECT_EQ(library.NewManagerObject(MTManagerAPIVersion, &manager), mtret::Error);
  EXPECT_EQ(manager, nullptr);
  EXPECT_EQ(library.NewManagerObject(MTManagerAPIVersion, nullptr), mtret::InvalidParams);

  // One level nearer and it is found.
  placeLibrary(TRADESIM_LIBRARY, root / "a/b/libs");
  EXPECT_EQ(library.Load(), mtret::Ok);
  EXPECT_EQ(library.LoadedPath(), (root / "a/b/libs" / MT_MANAGER_LIBRARY_NAME).string());
}

TEST(LibraryLoader, PathsLongerThanTheOldBoundAreUsedWhole) {
  TempDir tree;
  fs::path deep = tree.path();
  for (int i = 0; i < 6; ++i) deep /= std::string(60, static_cast<char>('k' + i));
  ASSERT_GT(deep.string().size(), 300u);
  placeLibrary(TRADESIM_LIBRARY, deep / "libs");
  ManagerApiLibrary library((deep / "bin" / "mqbridge").string());
  EXPECT_EQ(library.Load(), mtret::Ok);
  EXPECT_EQ(library.LoadedPath(), (deep / "libs" / MT_MANAGER_LIBRARY_NAME).string());
}

TEST(LibraryLoader, EntryPointRulesAndUnload) {
  TempDir tree;
  const fs::path root = tree.path();
  placeLibrary(TRADESIM_LIBRARY_NOADMIN, root / "noadmin");
  placeLibrary(TRADESIM_LIBRARY_PLAIN, root / "plain");
  placeLibrary(TRADESIM_LIBRARY_V2279, root / "v2279");

  // Without MTAdminCreateExt (never called) the library is refused.
  ManagerApiLibrary noadmin((root / "noadmin/mqbridge").string());
  EXPECT_EQ(noadmin.Load(), mtret::NotFound);
  EXPECT_FALSE(noadmin.IsLoaded());
  EXPECT_FALSE(stillMapped(root / "noadmin" / MT_MANAGER_LIBRARY_NAME));

  // Only the plain create entries: refused too.
  ManagerApiLibrary plain((root / "plain/mqbridge").string());
  EXPECT_EQ(plain.Load(), mtret::NotFound);
  EXPECT_FALSE(plain.IsLoaded());

  // Loading succeeds whatever version the library reports.
  ManagerApiLibrary old((root / "v2279/mqbridge").string());
  EXPECT_EQ(old.Load(), mtret::Ok);
  uint32_t version = 0;
  EXPECT_EQ(old.QueryVersion(version), mtret::Ok);
  EXPECT_EQ(version, 2279u);
  EXPECT_TRUE(stillMapped(root / "v2279" / MT_MANAGER_LIBRARY_NAME));

  old.Unload();
  EXPECT_FALSE(old.IsLoaded());
  EXPECT_EQ(old.QueryVersion(version), mtret::Error);
  old.Unload();  // a second time does nothing
  EXPECT_FALSE(old.IsLoaded());
}

TEST(LibraryLoader, InitializeChecksTheVersionAndTheEntryPoints) {
  TradeServer server;  // the accepted library needs a database to attach to
  TempDir tree;
  const fs::path root = tree.path();
  placeLibrary(TRADESIM_LIBRARY_V2279, root / "v2279");
  placeLibrary(TRADESIM_LIBRARY_NOADMIN, root / "noadmin");
  placeLibrary(TRADESIM_LIBRARY_PLAIN, root / "plain/libs");

  {
    CManager manager((root / "v2279/mqbridge").string());
    StdoutCapture console;
    EXPECT_FALSE(manager.Initialize());
    EXPECT_EQ(console.text(),
              "Manager API version 2279 has been loaded\n"
              "wrong Manager API version, version 2280 required\n");
    EXPECT_FALSE(manager.HasManager());
    EXPECT_TRUE(manager.Library().IsLoaded());
  }
  for (const char* variant : {"noadmin", "plain"}) {
    CManager manager((root / variant / "mqbridge").string());
    StdoutCapture console;
    EXPECT_FALSE(manager.Initialize()) << variant;
    EXPECT_EQ(console.text(), "loading manager API failed (13)\n") << variant;
    EXPECT_FALSE(manager.Library().IsLoaded()) << variant;
  }
  {
    CManager manager(server.executable());
    StdoutCapture console;
    EXPECT_TRUE(manager.Initialize());
    EXPECT_EQ(console.text(), "Manager API version 2280 has been loaded\n");
    EXPECT_TRUE(manager.HasManager());
  }
}

TEST(LibraryLoader, ShutdownWithoutManagerOnlyUnloadsAndRepeatsHarmlessly) {
  TradeServer server;
  TempDir tree;
  const fs::path library = tree.path() / "v2279" / MT_MANAGER_LIBRARY_NAME;
  placeLibrary(TRADESIM_LIBRARY_V2279, tree.path() / "v2279");
  {
    CManager manager((tree.path() / "v2279/mqbridge").string());
    StdoutCapture console;
    EXPECT_FALSE(manager.Initialize());
    EXPECT_TRUE(stillMapped(library));
    manager.Shutdown();
    EXPECT_FALSE(manager.Library().IsLoaded());
    EXPECT_FALSE(stillMapped(library));
    manager.Shutdown();
    EXPECT_FALSE(manager.Library().IsLoaded());
  }  // and the destructor after it
  EXPECT_FALSE(stillMapped(library));

  // With a manager object: detached, released and unloaded; again harmless.
  CManager manager(server.executable());
  {
    StdoutCapture console;
    ASSERT_TRUE(manager.Initialize());
  }
  manager.Shutdown();
  EXPECT_FALSE(manager.HasManager());
  EXPECT_FALSE(manager.Library().IsLoaded());
  manager.Shutdown();
  EXPECT_FALSE(manager.HasManager());
}

TEST(LibraryLoader, TheDealLookupIsOptionalAndReadsEveryMatchingDeal) {
  TradeServer server;
  const uint64_t login = server.addAccount({"--balance", "0"});
  const uint64_t otherLogin = server.addAccount({"--balance", "0"});
  const int64_t allTime = std::numeric_limits<int64_t>::max();

  ManagerApiLibrary library(server.executable());
  ASSERT_EQ(library.Load(), mtret::Ok);
  EXPECT_TRUE(library.HasDealRequest());
  {
    ManagerPtr manager = newManager(library);
    ASSERT_TRUE(manager);
    std::vector<MTDealRecord> deals(3);
    EXPECT_EQ(library.DealRequest(manager.get(), login, 0, allTime, deals), mtret::NotConnected);
    EXPECT_TRUE(deals.empty());

    const std::wstring address(TradeServer::kServer,
                               TradeServer::kServer + std::char_traits<char>::length(TradeServer::kServer));
    ASSERT_EQ(manager->OpenSession(address.c_str(), TradeServer::kManagerLogin, TradeServer::kManagerPassword, 0, 0, 0,
                                   30000),
              mtret::Ok);
    uint64_t first = 0;
    ASSERT_EQ(manager->PostBalanceDeal(login, 12.5, MT_DEAL_BALANCE, L"First", &first), mtret::RequestDone);
    // More deals than the first buffer holds, all later than the first.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(server.database().c_str(), &db), SQLITE_OK);
    const std::string bulk =
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 199) "
        "INSERT INTO deals (login, action, amount, comment, time) "
        "SELECT CASE WHEN i % 2 = 0 THEN " +
        std::to_string(login) + " ELSE " + std::to_string(otherLogin) +
        " END, 2, i * 100000000, 'bulk ' || i, 4102444800000 + i FROM n";
    EXPECT_EQ(sqlite3_exec(db, bulk.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);

    ASSERT_EQ(library.DealRequest(manager.get(), login, 0, allTime, deals), mtret::Ok);
    ASSERT_EQ(deals.size(), 100u);
    EXPECT_EQ(deals[0].deal, first);
    EXPECT_EQ(deals[0].amount, 12.5);
    EXPECT_EQ(std::wstring(deals[0].comment), L"First");
    for (size_t i = 1; i < deals.size(); ++i) {
      EXPECT_EQ(deals[i].login, login);
      EXPECT_EQ(deals[i].timeMs, 4102444800000 + 2 * static_cast<int64_t>(i));
      EXPECT_EQ(std::wstring(deals[i].comment), L"bulk " + std::to_wstring(2 * i));
    }
    ASSERT_EQ(library.DealRequest(manager.get(), login, 4102444800001, 4102444800010, deals), mtret::Ok);
    EXPECT_EQ(deals.size(), 5u);
    EXPECT_EQ(library.DealRequest(manager.get(), login, 10, 9, deals), mtret::InvalidParams);
    EXPECT_TRUE(deals.empty());
  }
  library.Unload();
  EXPECT_FALSE(library.HasDealRequest());

  // A library without the entry point loads, and cannot look deals up.
  TempDir tree;
  placeLibrary(TRADESIM_LIBRARY_NODEALS, tree.path() / "nodeals");
  ManagerApiLibrary nodeals((tree.path() / "nodeals/mqbridge").string());
  ASSERT_EQ(nodeals.Load(), mtret::Ok);
  EXPECT_FALSE(nodeals.HasDealRequest());
  ManagerPtr manager = newManager(nodeals);
  ASSERT_TRUE(manager);
  std::vector<MTDealRecord> deals(2);
  EXPECT_EQ(nodeals.DealRequest(manager.get(), login, 0, allTime, deals), mtret::Error);
  EXPECT_TRUE(deals.empty());
  manager.reset();
  nodeals.Unload();
  EXPECT_EQ(nodeals.DealRequest(nullptr, login, 0, allTime, deals), mtret::Error);
}

TEST(LibraryLoader, TheClockAndAccountLookupsAreOptionalAndReadEveryMatch) {
  TradeServer server;
  const int64_t before =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  const uint64_t login = server.addAccount({"--balance", "0"});
  const int64_t allTime = std::numeric_limits<int64_t>::max();

  // Nothing loaded yet: none of them, and every call says so.
  ManagerApiLibrary library(server.executable());
  EXPECT_FALSE(library.HasServerTime());
  EXPECT_FALSE(library.HasAccountRequest());
  EXPECT_FALSE(library.HasAccountTimes());
  int64_t now = 7;
  std::vector<MTAccountTimes> accounts(2);
  MTAccountTimes times{};
  EXPECT_EQ(library.ServerTime(nullptr, now), mtret::Error);
  EXPECT_EQ(library.AccountRequest(nullptr, 0, allTime, accounts), mtret::Error);
  EXPECT_TRUE(accounts.empty());
  EXPECT_EQ(library.AccountTimes(nullptr, login, times), mtret::Error);
  EXPECT_EQ(now, 7);

  ASSERT_EQ(library.Load(), mtret::Ok);
  EXPECT_TRUE(library.HasServerTime());
  EXPECT_TRUE(library.HasAccountRequest());
  EXPECT_TRUE(library.HasAccountTimes());
  {
    ManagerPtr manager = newManager(library);
    ASSERT_TRUE(manager);
    accounts.resize(3);
    EXPECT_EQ(library.ServerTime(manager.get(), now), mtret::NotConnected);
    EXPECT_EQ(library.AccountRequest(manager.get(), 0, allTime, accounts), mtret::NotConnected);
    EXPECT_TRUE(accounts.empty());
    EXPECT_EQ(library.AccountTimes(manager.get(), login, times), mtret::NotConnected);

    const std::wstring address(TradeServer::kServer,
                               TradeServer::kServer + std::char_traits<char>::length(TradeServer::kServer));
    ASSERT_EQ(manager->OpenSession(address.c_str(), TradeServer::kManagerLogin, TradeServer::kManagerPassword, 0, 0, 0,
                                   30000),
              mtret::Ok);
    ASSERT_EQ(library.ServerTime(manager.get(), now), mtret::Ok);
    EXPECT_GE(now, before);
    ASSERT_EQ(library.AccountTimes(manager.get(), login, times), mtret::Ok);
    EXPECT_EQ(times.login, login);
    EXPECT_GE(times.registeredMs, before);
    EXPECT_LE(times.registeredMs, now);
    EXPECT_EQ(times.masterPasswordChangedMs, times.registeredMs);
    EXPECT_EQ(library.AccountTimes(manager.get(), login + 1000, times), mtret::NotFound);

    // More accounts than the first buffer holds, registered later, in
    // reverse login order with two at each time.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(server.database().c_str(), &db), SQLITE_OK);
    const std::string bulk =
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 150) "
        "INSERT INTO accounts (login, name, group_name, country, city, zip, address, phone, email, id_number, "
        "comment, lead_source, agent, rights, leverage, master_salt, master_hash, investor_salt, investor_hash, "
        "registered_ms, master_changed_ms, investor_changed_ms) "
        "SELECT 900000 - i, 'bulk', 'demo', '', '', '', '', '', '', '', '', '', 0, 0, 100, x'00', x'00', x'00', "
        "x'00', 4102444800000 + i / 2, 4102444800000 + i / 2, 4102444800000 + i / 2 FROM n";
    EXPECT_EQ(sqlite3_exec(db, bulk.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);

    ASSERT_EQ(library.AccountRequest(manager.get(), 4102444800000, allTime, accounts), mtret::Ok);
    ASSERT_EQ(accounts.size(), 150u);
    for (size_t i = 1; i < accounts.size(); ++i) {
      const bool ordered =
          accounts[i - 1].registeredMs < accounts[i].registeredMs ||
          (accounts[i - 1].registeredMs == accounts[i].registeredMs && accounts[i - 1].login < accounts[i].login);
      EXPECT_TRUE(ordered) << i;
    }
    EXPECT_EQ(accounts.front().login, 899999u);  // i = 1, alone at +0
    EXPECT_EQ(accounts.back().login, 899850u);   // i = 150, alone at +75
    ASSERT_EQ(library.AccountRequest(manager.get(), before, now, accounts), mtret::Ok);
    ASSERT_EQ(accounts.size(), 1u);
    EXPECT_EQ(accounts[0].login, login);
    EXPECT_EQ(library.AccountRequest(manager.get(), 10, 9, accounts), mtret::InvalidParams);
    EXPECT_TRUE(accounts.empty());
  }
  library.Unload();
  EXPECT_FALSE(library.HasServerTime());
  EXPECT_FALSE(library.HasAccountRequest());
  EXPECT_FALSE(library.HasAccountTimes());
  EXPECT_EQ(library.ServerTime(nullptr, now), mtret::Error);
  EXPECT_EQ(library.AccountTimes(nullptr, login, times), mtret::Error);

  // The library without the deal lookup still has these.
  TempDir tree;
  placeLibrary(TRADESIM_LIBRARY_NODEALS, tree.path() / "nodeals");
  ManagerApiLibrary nodeals((tree.path() / "nodeals/mqbridge").string());
  ASSERT_EQ(nodeals.Load(), mtret::Ok);
  EXPECT_FALSE(nodeals.HasDealRequest());
  EXPECT_TRUE(nodeals.HasServerTime());
  EXPECT_TRUE(nodeals.HasAccountRequest());
  EXPECT_TRUE(nodeals.HasAccountTimes());
}

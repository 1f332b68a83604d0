// Finding and loading the Manager API library, against the real trading
// server library and its variants laid out in temporary directory trees.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include "ManagerTestSupport.h"
#include "manager/ManagerApiLibrary.h"

using namespace mgrtest;

namespace {

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

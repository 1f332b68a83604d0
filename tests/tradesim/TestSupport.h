#pragma once
// Helpers for the trading-server tests: temporary directories, the library
// loaded with dlopen as the service loads it, the tradesim command run as a
// separate process, and a fixture with a fresh database.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "manager/ManagerApi.h"
#include "tradesim/Store.h"

namespace tradesim::test {

inline constexpr const wchar_t* kServer = L"127.0.0.1:443";
inline constexpr uint64_t kManager = 1000;
inline constexpr const wchar_t* kManagerPassword = L"Mgr-Secret-1";

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct ManagerRelease {
  void operator()(IMTManagerAPI* manager) const {
    if (manager) manager->Release();
  }
};
struct UserRelease {
  void operator()(IMTUser* user) const {
    if (user) user->Release();
  }
};
using ManagerPtr = std::unique_ptr<IMTManagerAPI, ManagerRelease>;
using UserPtr = std::unique_ptr<IMTUser, UserRelease>;

class ManagerLibrary {
 public:
  explicit ManagerLibrary(const std::string& path);
  ~ManagerLibrary();
  ManagerLibrary(const ManagerLibrary&) = delete;
  ManagerLibrary& operator=(const ManagerLibrary&) = delete;
  void* symbol(const char* name) const;
  // A new manager object through "MTManagerCreateExt"; null on failure.
  ManagerPtr create() const;

 private:
  void* handle_ = nullptr;
};

struct CommandResult {
  int status = -1;
  std::string out;
  std::string err;
};
// Runs the tradesim command as its own process, with this process's
// environment (TRADESIM_DB included).
CommandResult runTradesim(const std::vector<std::string>& args);

// A program started with this process's environment and left running;
// killed and reaped at the end if it is still there.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  // True until the program has ended.
  bool running();
  // Ends it with SIGKILL and waits for it.
  void kill();

 private:
  int pid_ = -1;
  bool ended_ = false;
};

// Waits up to timeout for condition to hold; true when it did.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(10));

std::string readFile(const std::string& path);

// A fresh database (server kServer, manager kManager) named by TRADESIM_DB,
// the journal beside it, and the library loaded.
class TradesimTest : public ::testing::Test {
 protected:
  TradesimTest();
  ~TradesimTest() override;

  // A manager object with an open session.
  ManagerPtr connect();
  // Adds an account through the store, with master "Master-1" and investor
  // "Investor-1".
  void seedAccount(uint64_t login, const std::string& balance = "0", const std::string& credit = "0");
  Store& store() { return *store_; }
  const std::string& databasePath() const { return databasePath_; }
  std::string journalPath() const { return databasePath_ + ".journal"; }

  TempDir dir_;
  std::string databasePath_;
  ManagerLibrary library_;
  std::unique_ptr<Store> store_;
};

}  // namespace tradesim::test

#pragma once
// Test fixtures for the gateway: a throw-away trading-server database served
// by the real embedded trading server, a directory tree holding its Manager
// API library, console capture and a reply recorder.
#include <json/json.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "manager/CManager.h"
#include "manager/ReplySender.h"

namespace mgrtest {

namespace fs = std::filesystem;

// A fresh directory under the system's temporary directory, removed at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Sends stdout to a file while alive; text() returns what was printed.
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;
  std::string text() const;

 private:
  TempDir dir_;
  int savedFd_ = -1;
};

// Keeps every reply it is given.
class RecordingSender : public ReplySender {
 public:
  void send(std::string text) override;
  std::vector<std::string> replies() const;
  // The one reply, parsed; fails the test unless exactly one was sent.
  Json::Value onlyReply() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> replies_;
};

Json::Value parse(const std::string& text);

// Output of the tradesim command run against `database`; fails the test on a
// non-zero exit status unless `allowFailure`.
std::string tradesim(const fs::path& database, const std::vector<std::string>& args, bool allowFailure = false);

// Waits (up to `limit`) until `done` holds; returns its last value.
bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10));

// Puts `library` (copied, so that each tree loads its own object) at
// `directory`/MT5APIManager64.so.
void placeLibrary(const fs::path& library, const fs::path& directory);

// A trading-server database with one manager and a few accounts, the library
// beside a pretend executable, and TRADESIM_DB / TRADESIM_JOURNAL set.
class TradeServer {
 public:
  static constexpr const char* kServer = "127.0.0.1:4430";
  static constexpr int64_t kManagerLogin = 1000;
  static constexpr const wchar_t* kManagerPassword = L"Manager#1";

  TradeServer();
  ~TradeServer();

  const fs::path& database() const { return database_; }
  const fs::path& journalPath() const { return journal_; }
  std::string executable() const { return (dir_.path() / "bin" / "mqbridge").string(); }

  // Adds an account; returns its login.
  uint64_t addAccount(const std::vector<std::string>& options);
  // One "key=value" line of `tradesim account show`.
  std::string accountField(uint64_t login, const std::string& key);
  double balance(uint64_t login) { return std::stod(accountField(login, "balance")); }
  double credit(uint64_t login) { return std::stod(accountField(login, "credit")); }
  // The library's answer to VerifyPassword, asked on a session of its own.
  MTAPIRES verifyPassword(uint32_t kind, uint64_t login, const std::wstring& password);
  std::string journal() const;
  std::vector<std::string> deals(uint64_t login);
  std::string run(const std::vector<std::string>& args, bool allowFailure = false) {
    return tradesim(database_, args, allowFailure);
  }
  void armFault(const std::string& operation, unsigned code, unsigned count = 1);

 private:
  TempDir dir_;
  fs::path database_;
  fs::path journal_;
};

// A CManager logged in to a TradeServer.
struct ConnectedManager {
  explicit ConnectedManager(TradeServer& server);
  CManager manager;
  bool started = false;
};

}  // namespace mgrtest

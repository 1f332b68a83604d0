#include "ManagerTestSupport.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "support/Json.h"

extern char** environ;

namespace mgrtest {

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "mgrtest-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

StdoutCapture::StdoutCapture() {
  std::fflush(stdout);
  savedFd_ = ::dup(STDOUT_FILENO);
  int fd = ::open((dir_.path() / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ::dup2(fd, STDOUT_FILENO);
  ::close(fd);
}

StdoutCapture::~StdoutCapture() {
  std::fflush(stdout);
  ::dup2(savedFd_, STDOUT_FILENO);
  ::close(savedFd_);
}

std::string StdoutCapture::text() const {
  std::fflush(stdout);
  std::ifstream in(dir_.path() / "stdout", std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void RecordingSender::send(std::string text) {
  std::lock_guard<std::mutex> lock(mutex_);
  replies_.push_back(std::move(text));
}

std::vector<std::string> RecordingSender::replies() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return replies_;
}

Json::Value RecordingSender::onlyReply() const {
  const auto all = replies();
  EXPECT_EQ(all.size(), 1u) << "replies sent";
  return all.empty() ? Json::Value() : parse(all.front());
}

Json::Value parse(const std::string& text) {
  Json::Value value;
  EXPECT_TRUE(parseJson(text, value)) << text;
  return value;
}

namespace {

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

}  // namespace

std::string tradesim(const fs::path& database, const std::vector<std::string>& args, bool allowFailure) {
  TempDir scratch;
  const fs::path outPath = scratch.path() / "out";
  std::vector<std::string> words = {TRADESIM_COMMAND, "--db", database.string()};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ::posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = 0;
  int status = 0;
  const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    ADD_FAILURE() << "cannot run " << argv[0];
    return std::string();
  }
  ::waitpid(pid, &status, 0);
  std::string out = readFile(outPath);
  if (!allowFailure) {
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << words[3] << ": " << out;
  }
  return out;
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void placeLibrary(const fs::path& library, const fs::path& directory) {
  fs::create_directories(directory);
  fs::copy_file(library, directory / MT_MANAGER_LIBRARY_NAME, fs::copy_options::overwrite_existing);
}

TradeServer::TradeServer() {
  database_ = dir_.path() / "server.db";
  journal_ = dir_.path() / "server.journal";
  ::setenv("TRADESIM_DB", database_.c_str(), 1);
  ::setenv("TRADESIM_JOURNAL", journal_.c_str(), 1);
  run({"init", "--server", kServer, "--manager", std::to_string(kManagerLogin), "--password", "Manager#1"});
  placeLibrary(TRADESIM_LIBRARY, dir_.path() / "bin");
}

TradeServer::~TradeServer() {
  ::unsetenv("TRADESIM_DB");
  ::unsetenv("TRADESIM_JOURNAL");
}

uint64_t TradeServer::addAccount(const std::vector<std::string>& options) {
  std::vector<std::string> args = {"account", "add"};
  args.insert(args.end(), options.begin(), options.end());
  const std::string out = run(args);
  const auto at = out.find("login=");
  EXPECT_NE(at, std::string::npos) << out;
  return at == std::string::npos ? 0 : std::stoull(out.substr(at + 6));
}

std::string TradeServer::accountField(uint64_t login, const std::string& key) {
  std::istringstream lines(run({"account", "show", std::to_string(login)}));
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  }
  ADD_FAILURE() << "no " << key << " for account " << login;
  return std::string();
}

MTAPIRES TradeServer::verifyPassword(uint32_t kind, uint64_t login, const std::wstring& password) {
  ManagerApiLibrary library(executable());
  if (library.Load() != mtret::Ok) return mtret::NotFound;
  IMTManagerAPI* raw = nullptr;
  if (library.NewManagerObject(MTManagerAPIVersion, &raw) != mtret::Ok) return mtret::Error;
  CManager::ManagerObject manager(raw);
  const std::wstring server(kServer, kServer + std::char_traits<char>::length(kServer));
  MTAPIRES res = manager->OpenSession(server.c_str(), kManagerLogin, kManagerPassword, 0, 0, 0, 30000);
  if (res != mtret::Ok) return res;
  return manager->VerifyPassword(kind, login, password.c_str());
}

std::string TradeServer::journal() const { return readFile(journal_); }

std::vector<std::string> TradeServer::deals(uint64_t login) {
  std::istringstream lines(run({"deal", "list", "--login", std::to_string(login)}));
  std::vector<std::string> out;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) out.push_back(line);
  }
  return out;
}

void TradeServer::armFault(const std::string& operation, unsigned code, unsigned count) {
  run({"fault", "arm", operation, "--code", std::to_string(code), "--count", std::to_string(count)});
}

ConnectedManager::ConnectedManager(TradeServer& server) : manager(server.executable()) {
  const std::wstring address(TradeServer::kServer,
                             TradeServer::kServer + std::char_traits<char>::length(TradeServer::kServer));
  started = manager.Start(address.c_str(), TradeServer::kManagerLogin, TradeServer::kManagerPassword);
}

}  // namespace mgrtest

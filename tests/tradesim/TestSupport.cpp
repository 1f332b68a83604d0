#include "TestSupport.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tradesim::test {

TempDir::TempDir() {
  std::string pattern = std::filesystem::temp_directory_path().string() + "/tradesim-test-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

ManagerLibrary::ManagerLibrary(const std::string& path) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) throw std::runtime_error(std::string("dlopen failed: ") + dlerror());
}

ManagerLibrary::~ManagerLibrary() { dlclose(handle_); }

void* ManagerLibrary::symbol(const char* name) const { return dlsym(handle_, name); }

ManagerPtr ManagerLibrary::create() const {
  auto createExt = reinterpret_cast<MTManagerCreateExt_t>(symbol("MTManagerCreateExt"));
  IMTManagerAPI* manager = nullptr;
  if (!createExt || createExt(MTManagerAPIVersion, nullptr, &manager) != mtret::Ok) return nullptr;
  return ManagerPtr(manager);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

CommandResult runTradesim(const std::vector<std::string>& args) {
  TempDir output;
  const std::string outPath = output.file("out");
  const std::string errPath = output.file("err");
  std::vector<std::string> argv = {TRADESIM_COMMAND};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> raw;
  for (auto& a : argv) raw.push_back(a.data());
  raw.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error("cannot start " + argv[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  CommandResult result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = readFile(outPath);
  result.err = readFile(errPath);
  return result;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
  std::vector<std::string> words = argv;
  std::vector<char*> raw;
  for (auto& w : words) raw.push_back(w.data());
  raw.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, raw[0], nullptr, nullptr, raw.data(), environ) != 0) {
    throw std::runtime_error("cannot start " + words[0]);
  }
  pid_ = pid;
}

ChildProcess::~ChildProcess() { kill(); }

bool ChildProcess::running() {
  if (ended_) return false;
  int status = 0;
  ended_ = waitpid(pid_, &status, WNOHANG) == pid_;
  return !ended_;
}

void ChildProcess::kill() {
  if (ended_) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  ended_ = true;
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

namespace {
std::string prepareDatabase(const TempDir& dir) {
  const std::string path = dir.file("server.db");
  setenv("TRADESIM_DB", path.c_str(), 1);
  unsetenv("TRADESIM_JOURNAL");
  return path;
}
}  // namespace

TradesimTest::TradesimTest()
    : databasePath_(prepareDatabase(dir_)),
      library_(TRADESIM_LIBRARY),
      store_(Store::initialize(databasePath_, "127.0.0.1:443", kManager, "Mgr-Secret-1", false)) {}

TradesimTest::~TradesimTest() = default;

ManagerPtr TradesimTest::connect() {
  ManagerPtr manager = library_.create();
  if (!manager) return nullptr;
  const MTAPIRES opened = manager->OpenSession(kServer, kManager, kManagerPassword, 0, 0, 0, 30000);
  EXPECT_EQ(opened, mtret::Ok);
  return manager;
}

void TradesimTest::seedAccount(uint64_t login, const std::string& balance, const std::string& credit) {
  AccountRecord account;
  account.login = login;
  account.name = "Account " + std::to_string(login);
  account.group = "demo";
  account.balance = parseMoney(balance).value();
  account.credit = parseMoney(credit).value();
  ASSERT_EQ(store_->addAccount(account, "Master-1", "Investor-1"), mtret::Ok);
}

}  // namespace tradesim::test

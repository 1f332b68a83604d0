// A throw-away ActiveMQ broker for tests, started through scripts/broker.sh.
//
//   mqb::test::TestBroker broker;                       // anonymous access
//   mqb::test::TestBroker secured("auth", {"user", "secret"});
//   connect to broker.stompUri(), broker.sslUri() (verify with caFile()),
//   JMS clients to broker.openwireUri();
//   broker.kill();  broker.restart();   // crash and come back, same ports
//
// The instance name is unique per process ("<tag>-<pid>-<n>"); the broker is
// purged (killed and its directory removed) by the destructor, and killed by
// the script's watcher if the test process dies first. Set MQB_KEEP_BROKERS=1
// to keep instance directories (logs, data) after the test.
//
// The script is found through MQB_ROOT (environment, the repository root) or
// the compile definition MQB_SOURCE_DIR:
//   target_compile_definitions(t PRIVATE MQB_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace mqb::test {

class TestBroker {
 public:
  struct Credentials {
    std::string user;
    std::string password;
  };

  explicit TestBroker(const std::string& tag = "broker", Credentials credentials = {})
      : name_(uniqueName(tag)), credentials_(std::move(credentials)) {
    // A directory left by an earlier process with the same pid must not
    // hand its stored messages to this test.
    runScript({"purge", name_});
    std::vector<std::string> args{"start", name_, "--owner", std::to_string(::getpid())};
    if (!credentials_.user.empty()) {
      args.push_back("--auth");
      args.push_back(credentials_.user + ":" + credentials_.password);
    }
    loadEnv(lastLine(runScript(args)));
  }

  ~TestBroker() {
    try {
      const char* keep = std::getenv("MQB_KEEP_BROKERS");
      runScript({keep && *keep && std::string(keep) != "0" ? "stop" : "purge", name_});
    } catch (const std::exception&) {
      // The watcher still kills the broker once this process has gone.
    }
  }

  TestBroker(const TestBroker&) = delete;
  TestBroker& operator=(const TestBroker&) = delete;

  const std::string& name() const { return name_; }
  const std::string& dir() const { return dir_; }
  const std::string& envFile() const { return envFile_; }
  int stompPort() const { return stompPort_; }
  int stompSslPort() const { return stompSslPort_; }
  int openwirePort() const { return openwirePort_; }
  const std::string& caFile() const { return caFile_; }
  const std::string& untrustedCaFile() const { return untrustedCaFile_; }
  const std::string& user() const { return credentials_.user; }
  const std::string& password() const { return credentials_.password; }
  int pid() const { return pid_; }

  std::string stompUri() const { return "tcp://127.0.0.1:" + std::to_string(stompPort_); }
  std::string sslUri() const { return "ssl://127.0.0.1:" + std::to_string(stompSslPort_); }
  std::string openwireUri() const { return "tcp://127.0.0.1:" + std::to_string(openwirePort_); }

  // SIGKILL at once, the crash case; data stays for restart().
  void kill() { runScript({"kill", name_}); }
  // Graceful stop (SIGKILL only after a bound).
  void stop() { runScript({"stop", name_}); }
  // Starts again on the same ports with the same data; stops it first when running.
  void restart() { loadEnv(lastLine(runScript({"restart", name_}))); }
  bool running() const {
    int status = 0;
    runScript({"status", name_}, &status);
    return status == 0;
  }

  // The repository root: MQB_ROOT, else the compile definition MQB_SOURCE_DIR.
  static std::string sourceDir() {
    if (const char* root = std::getenv("MQB_ROOT"); root && *root) return root;
#ifdef MQB_SOURCE_DIR
    return MQB_SOURCE_DIR;
#else
    throw std::runtime_error("TestBroker: set MQB_ROOT or compile with MQB_SOURCE_DIR");
#endif
  }

  static std::string scriptPath() { return sourceDir() + "/scripts/broker.sh"; }

  // Runs broker.sh with the arguments and returns its standard output; its
  // standard error passes through to the test's. Throws when the script
  // fails, unless the caller asks for the exit status.
  static std::string runScript(const std::vector<std::string>& args, int* exitStatus = nullptr) {
    const std::string script = scriptPath();
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(script.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
      throw std::runtime_error(std::string("TestBroker: pipe: ") + std::strerror(errno));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    pid_t child = 0;
    const int spawnError = ::posix_spawn(&child, script.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (spawnError != 0) {
      ::close(fds[0]);
      throw std::runtime_error("TestBroker: cannot run " + script + ": " + std::strerror(spawnError));
    }

    std::string out;
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
      if (n > 0)
        out.append(buffer, static_cast<size_t>(n));
      else if (n == 0 || errno != EINTR)
        break;
    }
    ::close(fds[0]);

    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (exitStatus) {
      *exitStatus = code;
    } else if (code != 0) {
      std::string command = "broker.sh";
      for (const auto& a : args) command += " " + a;
      throw std::runtime_error("TestBroker: '" + command + "' failed with status " + std::to_string(code) +
                               " (its messages are on standard error)");
    }
    return out;
  }

 private:
  static std::string uniqueName(const std::string& tag) {
    static std::atomic<int> counter{0};
    std::string clean;
    for (char c : tag.substr(0, 32))
      clean += (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_') ? c : '_';
    if (clean.empty()) clean = "broker";
    return clean + "-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
  }

  static std::string lastLine(const std::string& text) {
    std::string s = text;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    const auto pos = s.rfind('\n');
    return pos == std::string::npos ? s : s.substr(pos + 1);
  }

  void loadEnv(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("TestBroker: cannot read the broker's env file '" + path + "'");
    std::map<std::string, std::string> values;
    for (std::string line; std::getline(in, line);) {
      const auto eq = line.find('=');
      if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    auto text = [&](const char* key) {
      auto it = values.find(key);
      if (it == values.end() || it->second.empty())
        throw std::runtime_error(std::string("TestBroker: ") + key + " missing in " + path);
      return it->second;
    };
    auto number = [&](const char* key) { return std::stoi(text(key)); };
    envFile_ = path;
    dir_ = text("BROKER_DIR");
    stompPort_ = number("STOMP_PORT");
    stompSslPort_ = number("STOMP_SSL_PORT");
    openwirePort_ = number("OPENWIRE_PORT");
    caFile_ = text("CA_FILE");
    untrustedCaFile_ = text("UNTRUSTED_CA_FILE");
    pid_ = number("BROKER_PID");
  }

  std::string name_;
  Credentials credentials_;
  std::string dir_;
  std::string envFile_;
  std::string caFile_;
  std::string untrustedCaFile_;
  int stompPort_ = 0;
  int stompSslPort_ = 0;
  int openwirePort_ = 0;
  int pid_ = 0;
};

}  // namespace mqb::test

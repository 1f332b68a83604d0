#pragma once
// A private PostgreSQL cluster for one test binary, started by
// scripts/postgres.sh and purged at the end (only stopped with
// MQB_KEEP_POSTGRES=1, to look at its log). A cluster that cannot start
// fails every test that needs it with the script's reason.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

namespace testpg {

inline std::string scriptPath() {
  const char* root = std::getenv("MQB_ROOT");
  return std::string(root && *root ? root : MQB_SOURCE_DIR) + "/scripts/postgres.sh";
}

// Runs postgres.sh; returns what it printed (standard error too) and sets
// status to its exit status.
inline std::string runScript(const std::string& args, int& status) {
  FILE* pipe = ::popen(("'" + scriptPath() + "' " + args + " 2>&1").c_str(), "r");
  if (!pipe) {
    status = -1;
    return "popen failed";
  }
  std::string out;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
  status = ::pclose(pipe);
  status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

inline std::string lastLine(const std::string& text) { return text.substr(text.rfind('\n') + 1); }

class Cluster : public ::testing::Environment {
 public:
  void SetUp() override {
    ::unsetenv("PGPASSWORD");
    name_ = "pgtest-" + std::to_string(::getpid());
    int status = 0;
    runScript("purge " + name_, status);  // a cluster left by an earlier process with this pid
    start();
    if (!ready()) ADD_FAILURE() << reason_;
  }
  void TearDown() override {
    const char* keep = std::getenv("MQB_KEEP_POSTGRES");
    int status = 0;
    runScript(std::string(keep && *keep ? "stop " : "purge ") + name_, status);
  }

  void start() {
    int status = 0;
    const std::string out = runScript("start " + name_ + " --owner " + std::to_string(::getpid()), status);
    reason_ = "scripts/postgres.sh start " + name_ + " failed with status " + std::to_string(status) + ":\n" + out;
    if (status != 0) return;
    const std::string envFile = lastLine(out);
    std::ifstream in(envFile);
    for (std::string line; std::getline(in, line);)
      if (auto eq = line.find('='); eq != std::string::npos) env_[line.substr(0, eq)] = line.substr(eq + 1);
    std::ifstream passwordFile(env("PG_PASSWORD_FILE"));
    std::getline(passwordFile, password_);
    if (env("PGPORT").empty() || password_.empty()) {
      reason_ = "no PGPORT or password from " + envFile;
      return;
    }
    reason_.clear();
  }
  void stop() {
    int status = 0;
    const std::string out = runScript("stop " + name_, status);
    ASSERT_EQ(status, 0) << "scripts/postgres.sh stop " << name_ << ": " << out;
  }

  bool ready() const { return reason_.empty(); }
  const std::string& reason() const { return reason_; }
  std::string env(const std::string& key) const {
    auto it = env_.find(key);
    return it == env_.end() ? "" : it->second;
  }
  const std::string& password() const { return password_; }
  // Connection keywords without the password.
  std::string target(const std::string& host = "127.0.0.1") const {
    return "host=" + host + " port=" + env("PGPORT") + " dbname=" + env("PGDATABASE") + " user=" + env("PGUSER");
  }
  // A URI whose tables go to schema (made by the caller) when one is named.
  std::string uri(const std::string& schema = std::string()) const {
    std::string u = "postgresql://" + env("PGUSER") + ":" + password_ + "@127.0.0.1:" + env("PGPORT") + "/" +
                    env("PGDATABASE") + "?sslmode=disable";
    if (!schema.empty()) u += "&options=-csearch_path%3D" + schema;
    return u;
  }
  std::string conninfo() const { return target() + " password=" + password_ + " sslmode=disable"; }

 private:
  std::string name_;
  std::string reason_ = "not started";
  std::map<std::string, std::string> env_;
  std::string password_;
};

}  // namespace testpg

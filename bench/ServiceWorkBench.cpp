// The service's work for one request, without the broker: the received line
// (passwords masked) on the console (sent to /dev/null here) and in the daily
// log, parsing, the
// request record, the trading-server calls, the reply and its daily-log entry.
//   FullPath/<kind>  with the embedded trading server (real library,
//                    throw-away database): what one request costs in all
//   OwnWork/<kind>   the same path with no manager object, so the operation
//                    replies at once: the service's own share, without the
//                    trading server's
//   Step/<step>      the steps of a deposit's own work one by one
//   Step/<step>      the steps of a deposit's own work one by one
// The counter allocs/req is the number of operator new calls per request.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "bench/AllocationCounter.h"
#include "bench/RequestKinds.h"
#include "manager/CManager.h"
#include "manager/ReplySender.h"
#include "messages/TradeTransInfoRequest.h"
#include "support/Console.h"
#include "support/DailyLog.h"
#include "support/Json.h"
#include "support/PasswordMask.h"
#include "tradesim/Store.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kServer = "127.0.0.1:4430";
constexpr const wchar_t* kServerWide = L"127.0.0.1:4430";
constexpr uint64_t kManagerLogin = 1000;
constexpr const char* kManagerPassword = "Manager#1";
constexpr const wchar_t* kManagerPasswordWide = L"Manager#1";

// Writes the reply's daily-log entry as the service's producer does (the
// broker send itself is measured by mqbridge-bench).
class LoggingSender : public ReplySender {
 public:
  explicit LoggingSender(std::string queue) : queue_(std::move(queue)) {}
  void send(std::string text) override {
    writeLog("DestURI:%s,Send: %s\n", queue_.c_str(), maskPasswords(text).c_str());
    benchmark::DoNotOptimize(text.data());
    ++sent;
  }
  uint64_t sent = 0;

 private:
  std::string queue_;
};

// A trading-server database with one manager and one account, the Manager
// API library beside a pretend executable, the working directory inside, and
// a CManager logged in. Lives for the whole process.
class Fixture {
 public:
  Fixture() {
    std::string pattern = (fs::temp_directory_path() / "service-work-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    fs::create_directories(root_ / "bin");
    fs::create_directories(root_ / "cwd");
    fs::copy_file(TRADESIM_LIBRARY, root_ / "bin" / MT_MANAGER_LIBRARY_NAME);
    const fs::path db = root_ / "server.db";
    ::setenv("TRADESIM_DB", db.c_str(), 1);
    ::setenv("TRADESIM_JOURNAL", (root_ / "server.journal").c_str(), 1);
    auto store = tradesim::Store::initialize(db.string(), kServer, kManagerLogin, kManagerPassword, true);
    tradesim::AccountRecord account;
    account.name = "Bench account";
    account.group = "demo\\bench";
    account.leverage = 100;
    account.rights = CManager::kRightsEnabled;
    account.balance = 1000 * tradesim::kMoneyScale;
    if (store->addAccount(account, "Bench#1pass", "Bench#2pass") != mtret::Ok) {
      throw std::runtime_error("cannot add the bench account");
    }
    targets.account = account.login;
    // The daily log goes to ../log from the working directory.
    fs::current_path(root_ / "cwd");
    manager = std::make_unique<CManager>((root_ / "bin" / "mqbridge").string());
    idle = std::make_unique<CManager>((root_ / "bin" / "mqbridge").string());
    if (!manager->Start(kServerWide, static_cast<int64_t>(kManagerLogin), kManagerPasswordWide)) {
      throw std::runtime_error("the manager could not log in to the embedded trading server");
    }
  }
  ~Fixture() {
    manager.reset();
    idle.reset();
    std::error_code ignored;
    fs::current_path(fs::temp_directory_path(), ignored);
    fs::remove_all(root_, ignored);
  }

  std::unique_ptr<CManager> manager;  // logged in
  std::unique_ptr<CManager> idle;     // never started: no manager object
  bench::RequestTargets targets;

 private:
  fs::path root_;
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

// Sends stdout to /dev/null while alive; the benchmark's report is printed
// after the benchmark function has returned.
class QuietStdout {
 public:
  QuietStdout() {
    std::cout.flush();
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::close(null);
  }
  ~QuietStdout() {
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
  }
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;

 private:
  int saved_ = -1;
};

void ServiceWork(benchmark::State& state, bench::RequestKind kind, bool withServer) {
  Fixture& f = fixture();
  CManager& manager = withServer ? *f.manager : *f.idle;
  QuietStdout quiet;
  const int queue = bench::queueOf(kind);
  static const char* const kQueues[] = {"userRecordCreate", "userRecordUpdate", "userRecordPasswordUpdate",
                                        "tradeTransInfo"};
  const std::string queueName = kQueues[queue];
  LoggingSender sender(std::string(queueName) + "Callback");
  uint64_t n = 0;
  uint64_t allocations = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const std::string text = bench::requestText(kind, "work-" + std::to_string(n++), f.targets);
    state.ResumeTiming();
    const uint64_t before = bench::allocationCount();

    const std::string shown = maskPasswords(text);
    consolePrint("destURI #%s Received: %s\n", queueName.c_str(), shown.c_str());
    writeLog("destURI #%s Received: %s\n", queueName.c_str(), shown.c_str());
    Json::Value root;
    if (parseJson(text, root) && root.isObject()) {
      switch (queue) {
        case bench::kCreateQueue:
          manager.CreateUser(root, &sender);
          break;
        case bench::kUpdateQueue:
          manager.UpdateUser(root, &sender);
          break;
        case bench::kPasswordQueue:
          manager.UpdatePassWord(root, &sender);
          break;
        default:
          manager.FinanceBalance(root, &sender);
          break;
      }
    }

    allocations += bench::allocationCount() - before;
  }
  if (bench::expectsReply(kind) && sender.sent != n) state.SkipWithError("a request got no reply");
  state.counters["allocs/req"] =
      benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
  state.SetLabel(bench::kindName(kind));
}

// One step of a deposit's handling, repeated.
void Step(benchmark::State& state, int step) {
  Fixture& f = fixture();
  QuietStdout quiet;
  const std::string text = bench::requestText(bench::RequestKind::Deposit, "work-step", f.targets);
  Json::Value root;
  parseJson(text, root);
  uint64_t allocations = 0;
  for (auto _ : state) {
    const uint64_t before = bench::allocationCount();
    switch (step) {
      case 0:
        benchmark::DoNotOptimize(maskPasswords(text));
        break;
      case 1:
        consolePrint("destURI #%s Received: %s\n", "tradeTransInfo", text.c_str());
        break;
      case 2:
        writeLog("destURI #%s Received: %s\n", "tradeTransInfo", text.c_str());
        break;
      case 3: {
        Json::Value v;
        benchmark::DoNotOptimize(parseJson(text, v));
        break;
      }
      case 4: {
        TradeTransInfoRequest record(root);
        benchmark::DoNotOptimize(record.login);
        break;
      }
      default: {
        TradeTransInfoRequest record(root);
        benchmark::DoNotOptimize(record.BuildReply());
        break;
      }
    }
    allocations += bench::allocationCount() - before;
  }
  state.counters["allocs/req"] =
      benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
}

void registerAll() {
  using bench::RequestKind;
  for (RequestKind kind :
       {RequestKind::Deposit, RequestKind::WithdrawRefused, RequestKind::DepositUnknown, RequestKind::Create,
        RequestKind::CreateExisting, RequestKind::Update, RequestKind::UpdateUnknown, RequestKind::Password,
        RequestKind::PasswordWrong, RequestKind::Junk}) {
    benchmark::RegisterBenchmark((std::string("FullPath/") + bench::kindName(kind)).c_str(), [kind](
                                                                                                 benchmark::State& s) {
      ServiceWork(s, kind, true);
    })->Unit(benchmark::kMicrosecond);
  }
  const char* const steps[] = {"maskPasswords", "consolePrint", "writeLog", "parseJson", "record", "record+BuildReply"};
  for (int i = 0; i < 6; ++i) {
    benchmark::RegisterBenchmark((std::string("Step/") + steps[i]).c_str(), [i](benchmark::State& s) {
      Step(s, i);
    })->Unit(benchmark::kMicrosecond);
  }
  // Without a manager object the kinds of one queue take the same path.
  for (RequestKind kind :
       {RequestKind::Deposit, RequestKind::Create, RequestKind::Update, RequestKind::Password, RequestKind::Junk}) {
    benchmark::RegisterBenchmark((std::string("OwnWork/") + bench::kindName(kind)).c_str(), [kind](
                                                                                                benchmark::State& s) {
      ServiceWork(s, kind, false);
    })->Unit(benchmark::kMicrosecond);
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  registerAll();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

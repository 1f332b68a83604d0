#include "bench/BenchOptions.h"

#include <cmath>
#include <functional>
#include <map>

namespace bench {
namespace {

uint64_t number(const std::string& option, const std::string& text, uint64_t min, uint64_t max) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) {
    throw UsageError(option + " takes a whole number, not '" + text + "'");
  }
  const uint64_t v = std::stoull(text);
  if (v < min || v > max) {
    throw UsageError(option + " must be between " + std::to_string(min) + " and " + std::to_string(max));
  }
  return v;
}

double decimal(const std::string& option, const std::string& text, double min, double max) {
  size_t used = 0;
  double v = 0;
  try {
    v = std::stod(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != text.size() || text.empty() || !std::isfinite(v)) {
    throw UsageError(option + " takes a number, not '" + text + "'");
  }
  if (v < min || v > max) throw UsageError(option + " is out of range");
  return v;
}

std::chrono::milliseconds seconds(const std::string& option, const std::string& text) {
  return std::chrono::milliseconds(static_cast<int64_t>(decimal(option, text, 0, 86400) * 1000));
}

using Handler = std::function<void(const std::string&)>;

// Walks "--name value" / "--name=value" pairs through the handler table.
void parseOptions(const std::vector<std::string>& args, size_t from, const std::map<std::string, Handler>& table) {
  for (size_t i = from; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    bool inlineValue = false;
    if (name.rfind("--", 0) != 0) throw UsageError("unexpected argument '" + name + "'");
    if (const auto eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      inlineValue = true;
    }
    const auto it = table.find(name);
    if (it == table.end()) throw UsageError("unknown option '" + name + "'");
    if (!inlineValue) {
      if (i + 1 >= args.size()) throw UsageError(name + " needs a value");
      value = args[++i];
    }
    it->second(value);
  }
}

}  // namespace

std::string usageText() {
  return "usage:\n"
         "  mqbridge-bench [run] --config FILE [options]\n"
         "      puts requests on the four request queues named in FILE and matches the\n"
         "      replies on the four callback queues by correlation id\n"
         "    --broker URI          broker URI instead of the config's brokerURI\n"
         "    --requests N          measured requests (default 10000)\n"
         "    --window W            closed loop: W requests waiting for a reply (default 64)\n"
         "    --rate R              open loop: R requests per second instead of a window\n"
         "    --warmup N            requests sent and checked before measuring (default 0)\n"
         "    --mix K=W,...         request kinds with weights (default deposit); kinds:\n"
         "                          deposit withdraw-refused deposit-unknown create create-existing\n"
         "                          update update-unknown password password-wrong junk\n"
         "    --account LOGIN       an existing account for the kinds that need one\n"
         "    --unknown-login LOGIN a login that does not exist (default 999999999)\n"
         "    --drain S             give up when no reply came for S seconds (default 10)\n"
         "    --linger S            keep listening S seconds after the last reply (default 0)\n"
         "    --receipt-timeout S   bound on a request send's receipt (default 10)\n"
         "    --check body|correlation  check reply bodies (default) or only ids and queues\n"
         "    --label TEXT          name of the run in the report (default service)\n"
         "    --run-id TEXT         prefix of the request ids (default: made up)\n"
         "    --prefetch N          prefetch of the reply subscriptions (default 1000)\n"
         "    --json FILE           also write the results as JSON\n"
         "    --resend K            send a request whose send failed again, up to K times,\n"
         "                          with the same id (as a back office would)\n"
         "    --allow-code CODE     accept this failure code in any reply (repeatable), for\n"
         "                          runs with a trading server armed to fail\n"
         "  mqbridge-bench echo --config FILE [--broker URI] [--confirm MODE] [--batch N]\n"
         "                      [--prefetch N] [--work-ms X]\n"
         "      answers every request with a fixed reply through the same client library,\n"
         "      acknowledging each request only after its reply is confirmed. --confirm each\n"
         "      (default) waits for each reply's receipt; pipelined sends the next reply while\n"
         "      earlier receipts are on their way (--pipeline on is the same); batched commits\n"
         "      the replies ready meanwhile (up to --batch, 64) in one transaction on the\n"
         "      producer, then each request's confirmed ACK; joint sends replies and ACKs\n"
         "      in one transaction on the consumer's connection. Give the last three a\n"
         "      --prefetch above 1 (the default, the service's). --work-ms waits X ms per\n"
         "      request before replying, in place of the trading server. Stops on SIGINT/SIGTERM.\n"
         "Exit status: 0 all well, 1 failure, 2 usage or config error, 3 replies missing,\n"
         "duplicated, wrong or unexpected.\n";
}

Command parseCommandLine(const std::vector<std::string>& args) {
  Command c;
  size_t from = 0;
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h" || args[0] == "help")) {
    c.kind = Command::Kind::Help;
    return c;
  }
  if (!args.empty() && args[0] == "echo") {
    c.kind = Command::Kind::Echo;
    EchoOptions& e = c.echo;
    parseOptions(
        args, 1,
        {{"--config", [&](const std::string& v) { e.configPath = v; }},
         {"--broker", [&](const std::string& v) { e.brokerUri = v; }},
         {"--pipeline",
          [&](const std::string& v) {
            if (v != "on" && v != "off") throw UsageError("--pipeline takes on or off");
            e.confirm = v == "on" ? EchoConfirm::Pipelined : EchoConfirm::Each;
          }},
         {"--confirm",
          [&](const std::string& v) {
            if (v == "each")
              e.confirm = EchoConfirm::Each;
            else if (v == "pipelined")
              e.confirm = EchoConfirm::Pipelined;
            else if (v == "batched")
              e.confirm = EchoConfirm::Batched;
            else if (v == "joint")
              e.confirm = EchoConfirm::Joint;
            else
              throw UsageError("--confirm takes each, pipelined, batched or joint");
          }},
         {"--batch", [&](const std::string& v) { e.batch = number("--batch", v, 1, 10000); }},
         {"--prefetch", [&](const std::string& v) { e.prefetch = number("--prefetch", v, 0, 100000); }},
         {"--receipt-timeout", [&](const std::string& v) { e.receiptTimeout = seconds("--receipt-timeout", v); }},
         {"--work-ms", [&](const std::string& v) {
            e.work = std::chrono::microseconds(static_cast<int64_t>(decimal("--work-ms", v, 0, 10000) * 1000));
          }}});
    if (e.configPath.empty()) throw UsageError("--config FILE is required");
    return c;
  }
  if (!args.empty() && args[0] == "run") from = 1;

  RunOptions& r = c.run;
  parseOptions(
      args, from,
      {{"--config", [&](const std::string& v) { r.configPath = v; }},
       {"--broker", [&](const std::string& v) { r.brokerUri = v; }},
       {"--requests", [&](const std::string& v) { r.requests = number("--requests", v, 1, 100000000); }},
       {"--window", [&](const std::string& v) { r.window = number("--window", v, 1, 100000); }},
       {"--rate", [&](const std::string& v) { r.rate = decimal("--rate", v, 0.001, 1e6); }},
       {"--warmup", [&](const std::string& v) { r.warmup = number("--warmup", v, 0, 10000000); }},
       {"--mix", [&](const std::string& v) { r.mix = v; }},
       {"--account",
        [&](const std::string& v) {
          r.targets.account = number("--account", v, 1, INT64_MAX);
          r.accountGiven = true;
        }},
       {"--unknown-login",
        [&](const std::string& v) { r.targets.unknownLogin = number("--unknown-login", v, 1, INT64_MAX); }},
       {"--drain", [&](const std::string& v) { r.drainIdle = seconds("--drain", v); }},
       {"--linger", [&](const std::string& v) { r.linger = seconds("--linger", v); }},
       {"--receipt-timeout", [&](const std::string& v) { r.receiptTimeout = seconds("--receipt-timeout", v); }},
       {"--check",
        [&](const std::string& v) {
          if (v == "body")
            r.check = CheckMode::Body;
          else if (v == "correlation")
            r.check = CheckMode::Correlation;
          else
            throw UsageError("--check takes body or correlation");
        }},
       {"--label", [&](const std::string& v) { r.label = v; }},
       {"--run-id",
        [&](const std::string& v) {
          if (v.empty() || v.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_.") !=
                               std::string::npos) {
            throw UsageError("--run-id may hold letters, digits, '_' and '.' only");
          }
          r.runId = v;
        }},
       {"--prefetch", [&](const std::string& v) { r.prefetch = number("--prefetch", v, 1, 100000); }},
       {"--json", [&](const std::string& v) { r.jsonPath = v; }},
       {"--resend", [&](const std::string& v) { r.resends = number("--resend", v, 0, 100); }},
       {"--allow-code", [&](const std::string& v) {
          size_t used = 0;
          long code = 0;
          try {
            code = std::stol(v, &used);
          } catch (const std::exception&) {
            used = 0;
          }
          if (used == 0 || used != v.size() || code < INT32_MIN || code > INT32_MAX || code == 200) {
            throw UsageError("--allow-code takes a failure reply code such as -2, not '" + v + "'");
          }
          r.allowedCodes.push_back(static_cast<int32_t>(code));
        }}});
  if (r.configPath.empty()) throw UsageError("--config FILE is required");
  try {
    const RequestMix mix(r.mix);
    const bool needsAccount = mix.uses(RequestKind::Deposit) || mix.uses(RequestKind::WithdrawRefused) ||
                              mix.uses(RequestKind::CreateExisting) || mix.uses(RequestKind::Update) ||
                              mix.uses(RequestKind::Password) || mix.uses(RequestKind::PasswordWrong);
    if (needsAccount && !r.accountGiven) throw UsageError("the mix '" + r.mix + "' needs --account LOGIN");
  } catch (const std::invalid_argument& e) {
    throw UsageError(e.what());
  }
  if (r.accountGiven && r.targets.account == r.targets.unknownLogin) {
    throw UsageError("--account and --unknown-login must differ");
  }
  return c;
}

}  // namespace bench

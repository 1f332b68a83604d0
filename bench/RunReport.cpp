#include "bench/RunReport.h"

#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>

#include <json/json.h>

namespace bench {
namespace {

std::string fixed(double v, int decimals) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, v);
  return buffer;
}

std::string millis(double micros) { return fixed(micros / 1000.0, 3); }

void row(std::ostream& out, const std::string& name, const std::string& value) {
  out << "  " << name << std::string(name.size() < 24 ? 24 - name.size() : 1, ' ') << value << "\n";
}

Json::Value::UInt64 u64(uint64_t v) { return static_cast<Json::Value::UInt64>(v); }

// The machine's load while the run ended: figures from a busy machine are
// read differently.
std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return in ? one + " " + five + " " + fifteen : std::string();
}

std::string utcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buffer;
}

}  // namespace

bool RunResult::faultsFound() const {
  return counts.missing || counts.duplicated || counts.wrongBody || counts.unexpected || counts.lostAtSend;
}

void printTable(std::ostream& out, const RunResult& r) {
  const RunOptions& o = r.options;
  const RunCounts& c = r.counts;
  out << "mqbridge-bench: " << o.label << " (run " << r.runId << ")\n";
  row(out, "load",
      o.rate > 0 ? "open loop, " + fixed(o.rate, 1) + " req/s" : "closed loop, window " + std::to_string(o.window));
  row(out, "mix", o.mix);
  row(out, "requests", std::to_string(o.requests) + " measured + " + std::to_string(o.warmup) + " warm-up");
  row(out, "sent",
      std::to_string(c.sent) + " (" + std::to_string(c.sendConfirmed) + " confirmed, " + std::to_string(c.sendFailed) +
          " failed)");
  row(out, "replies expected", std::to_string(c.expected));
  row(out, "answered", std::to_string(c.answered));
  row(out, "missing", std::to_string(c.missing) + (r.drained ? "" : " (drain timed out)"));
  row(out, "lost at send", std::to_string(c.lostAtSend));
  row(out, "duplicated", std::to_string(c.duplicated));
  row(out, "wrong body", std::to_string(c.wrongBody));
  row(out, "unexpected replies", std::to_string(c.unexpected));
  row(out, "foreign replies", std::to_string(c.foreign));
  row(out, "redelivered replies", std::to_string(c.redelivered));
  if (!o.allowedCodes.empty()) row(out, "allowed failure codes", std::to_string(c.allowedFailures));
  if (o.resends > 0) {
    row(out, "resent",
        std::to_string(c.resent) + " sends; " + std::to_string(c.answeredResent) + " such requests answered, " +
            std::to_string(c.duplicatedResent) + " of the duplicates");
  }
  row(out, "measured span", fixed(r.seconds, 3) + " s");
  row(out, "throughput", fixed(r.throughput, 1) + " req/s");
  row(out, "latency ms",
      "p50 " + millis(r.latency.p50) + "  p90 " + millis(r.latency.p90) + "  p99 " + millis(r.latency.p99) +
          "  p99.9 " + millis(r.latency.p999) + "  max " + millis(r.latency.max) + "  mean " + millis(r.latency.mean));
  row(out, "load average", loadAverage());
  for (int k = 0; k < kKindCount; ++k) {
    if (c.sentByKind[k] == 0) continue;
    row(out, std::string("  ") + kindName(static_cast<RequestKind>(k)),
        std::to_string(c.sentByKind[k]) + " sent, " + std::to_string(c.answeredByKind[k]) + " answered");
  }
  for (const auto& p : c.problems) out << "  ! " << p << "\n";
}

void writeJsonFile(const std::string& path, const RunResult& r) {
  const RunOptions& o = r.options;
  const RunCounts& c = r.counts;
  Json::Value root(Json::objectValue);
  root["label"] = o.label;
  root["runId"] = r.runId;
  root["time"] = utcNow();
  root["broker"] = r.brokerUri;
  root["loadAverage"] = loadAverage();
  root["loop"] = o.rate > 0 ? "open" : "closed";
  root["window"] = o.window;
  root["rate"] = o.rate;
  root["mix"] = o.mix;
  root["requests"] = u64(o.requests);
  root["warmup"] = u64(o.warmup);
  root["check"] = o.check == CheckMode::Body ? "body" : "correlation";
  Json::Value& counts = root["counts"];
  counts["sent"] = u64(c.sent);
  counts["sendConfirmed"] = u64(c.sendConfirmed);
  counts["sendFailed"] = u64(c.sendFailed);
  counts["expected"] = u64(c.expected);
  counts["answered"] = u64(c.answered);
  counts["missing"] = u64(c.missing);
  counts["lostAtSend"] = u64(c.lostAtSend);
  counts["duplicated"] = u64(c.duplicated);
  counts["wrongBody"] = u64(c.wrongBody);
  counts["unexpected"] = u64(c.unexpected);
  counts["foreign"] = u64(c.foreign);
  counts["redelivered"] = u64(c.redelivered);
  counts["allowedFailures"] = u64(c.allowedFailures);
  counts["resent"] = u64(c.resent);
  counts["answeredResent"] = u64(c.answeredResent);
  counts["duplicatedResent"] = u64(c.duplicatedResent);
  Json::Value& kinds = root["kinds"];
  kinds = Json::Value(Json::objectValue);
  for (int k = 0; k < kKindCount; ++k) {
    if (c.sentByKind[k] == 0) continue;
    Json::Value& kind = kinds[kindName(static_cast<RequestKind>(k))];
    kind["sent"] = u64(c.sentByKind[k]);
    kind["answered"] = u64(c.answeredByKind[k]);
  }
  root["drained"] = r.drained;
  root["seconds"] = r.seconds;
  root["throughput"] = r.throughput;
  Json::Value& lat = root["latencyMs"];
  lat["p50"] = r.latency.p50 / 1000.0;
  lat["p90"] = r.latency.p90 / 1000.0;
  lat["p99"] = r.latency.p99 / 1000.0;
  lat["p999"] = r.latency.p999 / 1000.0;
  lat["max"] = r.latency.max / 1000.0;
  lat["mean"] = r.latency.mean / 1000.0;
  Json::Value& resent = root["resentIds"];
  resent = Json::Value(Json::arrayValue);
  for (const auto& id : c.resentIds) resent.append(id);
  Json::Value& problems = root["problems"];
  problems = Json::Value(Json::arrayValue);
  for (const auto& p : c.problems) problems.append(p);

  Json::StreamWriterBuilder builder;
  builder["indentation"] = "  ";
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write '" + path + "'");
  std::unique_ptr<Json::StreamWriter>(builder.newStreamWriter())->write(root, &out);
  out << "\n";
  if (!out) throw std::runtime_error("cannot write '" + path + "'");
}

}  // namespace bench

#include "support/Metrics.h"

#include <charconv>
#include <chrono>
#include <sstream>

#ifndef MQB_VERSION
#define MQB_VERSION "unknown"
#endif

namespace {

double secondsSinceEpoch() {
  using namespace std::chrono;
  return duration_cast<duration<double>>(system_clock::now().time_since_epoch()).count();
}

// Shortest plain decimal that reads back as the same double (no exponent).
std::string number(double value) {
  char buffer[400];  // room for any double in fixed notation
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  return std::string(buffer, result.ptr);
}

// A label value as the text format wants it: backslash, quote and line
// break escaped.
std::string escaped(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

void header(std::ostream& out, const char* name, const char* type, const char* help) {
  out << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
}

std::string label(const char* key, const std::string& value) {
  return std::string(key) + "=\"" + escaped(value) + "\"";
}

}  // namespace

void Metrics::Histogram::observe(double seconds) {
  if (!(seconds >= 0)) seconds = 0;  // a clock step back or NaN counts as no time
  std::size_t i = 0;
  while (i < kBuckets.size() && seconds > kBuckets[i]) ++i;
  if (i < kBuckets.size()) ++buckets[i];
  ++count;
  sum += seconds;
}

Metrics::Metrics() : startTime_(secondsSinceEpoch()) {}

Metrics::QueueStats& Metrics::queue(const std::string& name) { return queues_[name]; }

void Metrics::addQueue(const std::string& name) {
  std::lock_guard lock(mutex_);
  queue(name);
}

void Metrics::requestReceived(const std::string& name) {
  std::lock_guard lock(mutex_);
  ++queue(name).received;
}

void Metrics::replySent(const std::string& name, bool success) {
  std::lock_guard lock(mutex_);
  QueueStats& q = queue(name);
  ++(success ? q.succeeded : q.failed);
}

void Metrics::requestDropped(const std::string& name) {
  std::lock_guard lock(mutex_);
  ++queue(name).dropped;
}

void Metrics::replyResent(const std::string& name) {
  std::lock_guard lock(mutex_);
  ++queue(name).resent;
}

void Metrics::replyReplayed(const std::string& name) {
  std::lock_guard lock(mutex_);
  ++queue(name).replayed;
}

void Metrics::requestInDoubt(const std::string& name) {
  std::lock_guard lock(mutex_);
  ++queue(name).inDoubt;
}

void Metrics::replyRefused(const std::string& name) {
  std::lock_guard lock(mutex_);
  ++queue(name).refused;
}

void Metrics::requestParked(const std::string& name) {
  std::lock_guard lock(mutex_);
  ++queue(name).parked;
}

void Metrics::observeTradingServer(const std::string& name, double seconds) {
  std::lock_guard lock(mutex_);
  queue(name).tradingServer.observe(seconds);
}

void Metrics::observeConfirmation(const std::string& name, double seconds) {
  std::lock_guard lock(mutex_);
  queue(name).confirmation.observe(seconds);
}

void Metrics::connectionUp(const std::string& name, bool up) {
  std::lock_guard lock(mutex_);
  connections_[name].up = up;
}

void Metrics::connectionReconnected(const std::string& name) {
  std::lock_guard lock(mutex_);
  ++connections_[name].reconnects;
}

void Metrics::tradingServerUp(bool up) {
  std::lock_guard lock(mutex_);
  tradingServerUp_ = up;
}

void Metrics::tradingServerReopened() {
  std::lock_guard lock(mutex_);
  ++tradingServerReopens_;
}

std::vector<std::pair<std::string, bool>> Metrics::connections() const {
  std::lock_guard lock(mutex_);
  std::vector<std::pair<std::string, bool>> all;
  for (const auto& [name, stats] : connections_) all.emplace_back(name, stats.up);
  return all;
}

void Metrics::setJournalCounts(std::function<JournalCounts()> counts) {
  std::lock_guard lock(mutex_);
  journalCounts_ = std::move(counts);
}

std::string Metrics::renderPrometheus() const {
  std::function<JournalCounts()> journalCounts;
  std::map<std::string, QueueStats> queues;
  std::map<std::string, ConnectionStats> connections;
  bool tradingServerUp = false;
  uint64_t tradingServerReopens = 0;
  {
    // A copy, so that the journal is asked and the text built without
    // holding up the delivery threads.
    std::lock_guard lock(mutex_);
    journalCounts = journalCounts_;
    queues = queues_;
    connections = connections_;
    tradingServerUp = tradingServerUp_;
    tradingServerReopens = tradingServerReopens_;
  }

  std::ostringstream out;
  const auto counter = [&](const char* name, const char* help, uint64_t QueueStats::*field) {
    header(out, name, "counter", help);
    for (const auto& [queue, stats] : queues)
      out << name << '{' << label("queue", queue) << "} " << stats.*field << '\n';
  };
  counter("mqbridge_requests_received_total", "Requests received, per request queue.", &QueueStats::received);

  header(out, "mqbridge_replies_sent_total", "counter",
         "Replies the broker confirmed, per request queue and outcome (success: code 200).");
  for (const auto& [queue, stats] : queues) {
    out << "mqbridge_replies_sent_total{" << label("queue", queue) << ",outcome=\"success\"} " << stats.succeeded
        << '\n';
    out << "mqbridge_replies_sent_total{" << label("queue", queue) << ",outcome=\"failure\"} " << stats.failed << '\n';
  }
  counter("mqbridge_requests_dropped_total", "Requests dropped as unreadable, without a reply.", &QueueStats::dropped);
  counter("mqbridge_replies_resent_total", "Replies sent again after an unconfirmed send.", &QueueStats::resent);
  counter("mqbridge_replies_replayed_total",
          "Requests delivered again and answered from the journal without being carried out.", &QueueStats::replayed);
  counter("mqbridge_requests_in_doubt_total", "Requests whose earlier outcome could not be established.",
          &QueueStats::inDoubt);
  counter("mqbridge_replies_refused_total", "Replies the broker refused for good; their requests were acknowledged.",
          &QueueStats::refused);
  counter("mqbridge_requests_parked_total",
          "Requests answered in doubt without another try because their handling kept ending the process.",
          &QueueStats::parked);

  const auto histogram = [&](const char* name, const char* help, Histogram QueueStats::*field) {
    header(out, name, "histogram", help);
    for (const auto& [queue, stats] : queues) {
      const Histogram& h = stats.*field;
      const std::string q = label("queue", queue);
      uint64_t cumulative = 0;
      for (std::size_t i = 0; i < kBuckets.size(); ++i) {
        cumulative += h.buckets[i];
        out << name << "_bucket{" << q << ",le=\"" << number(kBuckets[i]) << "\"} " << cumulative << '\n';
      }
      out << name << "_bucket{" << q << ",le=\"+Inf\"} " << h.count << '\n';
      out << name << "_sum{" << q << "} " << number(h.sum) << '\n';
      out << name << "_count{" << q << "} " << h.count << '\n';
    }
  };
  histogram("mqbridge_trading_server_seconds", "Time carrying a request out on the trading server.",
            &QueueStats::tradingServer);
  histogram("mqbridge_reply_confirmation_seconds", "Time waiting for the broker to confirm a reply.",
            &QueueStats::confirmation);

  header(out, "mqbridge_broker_connection_up", "gauge", "1 while the broker connection serving the queue is up.");
  for (const auto& [name, stats] : connections)
    out << "mqbridge_broker_connection_up{" << label("queue", name) << "} " << (stats.up ? 1 : 0) << '\n';
  header(out, "mqbridge_broker_reconnects_total", "counter", "Times the connection was restored after a loss.");
  for (const auto& [name, stats] : connections)
    out << "mqbridge_broker_reconnects_total{" << label("queue", name) << "} " << stats.reconnects << '\n';

  header(out, "mqbridge_trading_server_up", "gauge", "1 while the trading-server session is open.");
  out << "mqbridge_trading_server_up " << (tradingServerUp ? 1 : 0) << '\n';
  header(out, "mqbridge_trading_server_reopens_total", "counter",
         "Times the trading-server session was opened again after a loss.");
  out << "mqbridge_trading_server_reopens_total " << tradingServerReopens << '\n';

  if (journalCounts) {
    const JournalCounts counts = journalCounts();
    header(out, "mqbridge_journal_unconfirmed_replies", "gauge",
           "Replies in the journal that the broker has not confirmed yet.");
    out << "mqbridge_journal_unconfirmed_replies " << counts.unconfirmed << '\n';
    header(out, "mqbridge_journal_in_doubt_requests", "gauge",
           "Requests in the journal left in doubt, waiting for an operator.");
    out << "mqbridge_journal_in_doubt_requests " << counts.inDoubt << '\n';
    header(out, "mqbridge_journal_up", "gauge", "1 while the request journal writes; 0 while requests are held.");
    out << "mqbridge_journal_up " << (counts.writable ? 1 : 0) << '\n';
  }

  header(out, "process_start_time_seconds", "gauge", "Start time of the process since the epoch, in seconds.");
  out << "process_start_time_seconds " << number(startTime_) << '\n';
  header(out, "mqbridge_build_info", "gauge", "The running version, as a label.");
  out << "mqbridge_build_info{" << label("version", serviceVersion()) << "} 1\n";
  return out.str();
}

Metrics& serviceMetrics() {
  static Metrics* metrics = new Metrics;  // outlives every thread
  return *metrics;
}

const char* serviceVersion() { return MQB_VERSION; }

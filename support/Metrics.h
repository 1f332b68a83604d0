#pragma once
// The service's counters, gauges and histograms, rendered in the Prometheus
// text format. Safe to call from every thread (the delivery threads of the
// four consumers, the HTTP server's threads, the main thread).
//
// Labels carry only configured names: the queue a request came on, the
// queue a broker connection serves. Never a request's text, a login or a
// password.
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// What the request journal holds that an operator may have to act on.
struct JournalCounts {
  uint64_t unconfirmed = 0;  // replies not yet confirmed by the broker
  uint64_t inDoubt = 0;      // requests whose outcome could not be resolved
  bool writable = true;      // false from a failed write until one succeeds
};

class Metrics {
 public:
  // Upper bounds of the handling-time buckets, in seconds (+Inf implied).
  static constexpr std::array<double, 14> kBuckets = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                      0.1,    0.25,  0.5,    1,     2.5,  5,     10};

  Metrics();
  Metrics(const Metrics&) = delete;
  Metrics& operator=(const Metrics&) = delete;

  // Makes a request queue's series appear (at zero) before its first request.
  void addQueue(const std::string& queue);

  // Per request queue (the configured name).
  void requestReceived(const std::string& queue);
  // A reply confirmed by the broker; success: its code is 200.
  void replySent(const std::string& queue, bool success);
  // A request that could not be read (not a JSON object, a member of the
  // wrong type): it gets no reply.
  void requestDropped(const std::string& queue);
  // A reply the broker refused for good (its request acknowledged without it).
  void replyRefused(const std::string& queue);
  // A reply sent again after its first send was not confirmed.
  void replyResent(const std::string& queue);
  // A request delivered again and answered from the journal, not carried out.
  void replyReplayed(const std::string& queue);
  // A request whose earlier outcome could not be established.
  void requestInDoubt(const std::string& queue);
  // One of those: its handling kept ending the process, so it is not tried again.
  void requestParked(const std::string& queue);
  // Time spent carrying the request out on the trading server, and time
  // waiting for the broker to confirm its reply.
  void observeTradingServer(const std::string& queue, double seconds);
  void observeConfirmation(const std::string& queue, double seconds);

  // Per broker connection, named by the queue it serves.
  void connectionUp(const std::string& name, bool up);
  void connectionReconnected(const std::string& name);
  // The trading-server session: open or not, and reopened after a loss.
  void tradingServerUp(bool up);
  void tradingServerReopened();
  // Every connection reported so far, in name order, with whether it is up.
  std::vector<std::pair<std::string, bool>> connections() const;

  // Read at every rendering; none set: the journal's gauges are left out.
  void setJournalCounts(std::function<JournalCounts()> counts);

  std::string renderPrometheus() const;

 private:
  struct Histogram {
    std::array<uint64_t, kBuckets.size()> buckets{};  // non-cumulative
    uint64_t count = 0;
    double sum = 0;
    void observe(double seconds);
  };
  struct QueueStats {
    uint64_t received = 0;
    uint64_t succeeded = 0;
    uint64_t failed = 0;
    uint64_t dropped = 0;
    uint64_t resent = 0;
    uint64_t replayed = 0;
    uint64_t inDoubt = 0;
    uint64_t parked = 0;
    uint64_t refused = 0;
    Histogram tradingServer;
    Histogram confirmation;
  };
  struct ConnectionStats {
    bool up = false;
    uint64_t reconnects = 0;
  };

  QueueStats& queue(const std::string& name);  // with mutex_ held

  mutable std::mutex mutex_;
  std::map<std::string, QueueStats> queues_;
  std::map<std::string, ConnectionStats> connections_;
  std::function<JournalCounts()> journalCounts_;
  bool tradingServerUp_ = false;
  uint64_t tradingServerReopens_ = 0;
  double startTime_;  // seconds since the epoch
};

// The process-wide registry; never torn down, so a thread still running at
// exit cannot reach a destroyed one.
Metrics& serviceMetrics();

// The version the build was made from.
const char* serviceVersion();

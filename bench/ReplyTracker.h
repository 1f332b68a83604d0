#pragma once
// Book-keeping of one bench run: which request was sent when, the outcome of
// its send, and every reply that came back, matched by correlation id.
// All members are safe to call from any thread.
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "bench/QueueNames.h"
#include "bench/RequestKinds.h"

namespace bench {

enum class CheckMode {
  Body,         // the service: code and echoed fields per request kind
  Correlation,  // the echo responder: correlation id and callback queue only
};

struct RunCounts {
  uint64_t sent = 0;              // requests handed to the client library
  uint64_t sendConfirmed = 0;     // the broker's receipt came
  uint64_t sendFailed = 0;        // send raised (the broker may or may not have it)
  uint64_t expected = 0;          // requests that must get a reply
  uint64_t answered = 0;          // of those, with at least one reply
  uint64_t missing = 0;           // expected, not failed at send, no reply
  uint64_t lostAtSend = 0;        // expected, send failed, no reply
  uint64_t duplicated = 0;        // replies beyond the first for one request
  uint64_t wrongBody = 0;         // requests whose reply was wrong (body or queue)
  uint64_t unexpected = 0;        // replies to requests that must get none
  uint64_t foreign = 0;           // replies with a correlation id not of this run
  uint64_t redelivered = 0;       // the same reply message delivered again
  uint64_t allowedFailures = 0;   // answered with an allowed failure code
  uint64_t resent = 0;            // sends tried again after a failure (same id)
  uint64_t answeredResent = 0;    // of the answered requests, those sent more than once
  uint64_t duplicatedResent = 0;  // duplicated replies to requests sent more than once
  std::array<uint64_t, kKindCount> sentByKind{};
  std::array<uint64_t, kKindCount> answeredByKind{};
  std::vector<std::string> problems;   // the first few, for the report
  std::vector<std::string> resentIds;  // ids of the requests sent more than once
};

class ReplyTracker {
 public:
  using Clock = std::chrono::steady_clock;

  // `capacity` requests at most; those below `measuredFrom` are warm-up.
  ReplyTracker(std::string runId, RequestTargets targets, BrokerSettings settings, CheckMode mode, uint64_t capacity,
               uint64_t measuredFrom, std::vector<int32_t> allowedCodes = {});

  std::string idOf(uint64_t sequence) const { return runId_ + "-" + std::to_string(sequence); }

  // Call before the send.
  void sent(uint64_t sequence, RequestKind kind, Clock::time_point start);
  // The final outcome of a request's send (after any resends).
  void sendDone(uint64_t sequence, bool ok, const std::string& error);
  // A send failed and goes out again with the same id: a second copy may
  // reach the service, so duplicates of this request are the bench's doing.
  void resending(uint64_t sequence, const std::string& error);
  void reply(const std::string& correlationId, const std::string& messageId, const std::string& queueName,
             const std::string& body);

  // Blocks while `window` or more requests wait for their reply.
  void waitWindow(size_t window);
  // Blocks until every expected reply came (true) or none came for `idle`.
  bool drain(std::chrono::milliseconds idle);
  // Blocks until all requests below `sequence` are answered or failed, or
  // none came for `idle`. Scans them all on every change: for short phases.
  bool drainUpTo(uint64_t sequence, std::chrono::milliseconds idle);

  RunCounts counts() const;
  // Latency of each answered measured request, in microseconds.
  std::vector<double> latencies() const;
  // From the first measured send to the last first reply to a measured request.
  double measuredSeconds() const;
  size_t inFlight() const;

 private:
  struct Entry {
    Clock::time_point start;
    Clock::time_point answeredAt;
    RequestKind kind = RequestKind::Deposit;
    uint8_t send = 0;  // 0 pending, 1 confirmed, 2 failed
    bool registered = false;
    bool released = false;
    bool wrong = false;
    bool allowedFailure = false;
    uint8_t resends = 0;
    uint32_t replies = 0;
  };

  void release(Entry& e);  // with mutex_ held
  void note(std::string problem);
  bool parseSequence(const std::string& correlationId, uint64_t& sequence) const;
  bool settledUpTo(uint64_t sequence) const;

  const std::string runId_;
  const RequestTargets targets_;
  const BrokerSettings settings_;
  const CheckMode mode_;
  const uint64_t measuredFrom_;
  const std::vector<int32_t> allowedCodes_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Entry> entries_;
  std::unordered_set<std::string> messageIds_;
  size_t inFlight_ = 0;
  Clock::time_point lastProgress_;
  RunCounts extra_;  // reply-side counters not derivable from entries_
};

}  // namespace bench

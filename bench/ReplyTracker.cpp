#include "bench/ReplyTracker.h"

#include <algorithm>

namespace bench {
namespace {
constexpr size_t kMaxProblems = 12;
}

ReplyTracker::ReplyTracker(std::string runId, RequestTargets targets, BrokerSettings settings, CheckMode mode,
                           uint64_t capacity, uint64_t measuredFrom, std::vector<int32_t> allowedCodes)
    : runId_(std::move(runId)),
      targets_(targets),
      settings_(std::move(settings)),
      mode_(mode),
      measuredFrom_(measuredFrom),
      allowedCodes_(std::move(allowedCodes)),
      entries_(capacity),
      lastProgress_(Clock::now()) {
  messageIds_.reserve(capacity + capacity / 4);
}

void ReplyTracker::sent(uint64_t sequence, RequestKind kind, Clock::time_point start) {
  std::lock_guard<std::mutex> lock(mutex_);
  Entry& e = entries_.at(sequence);
  e.registered = true;
  e.kind = kind;
  e.start = start;
  if (expectsReply(kind)) {
    ++inFlight_;
  } else {
    e.released = true;
  }
}

void ReplyTracker::release(Entry& e) {
  if (e.released) return;
  e.released = true;
  --inFlight_;
  lastProgress_ = Clock::now();
  changed_.notify_all();
}

void ReplyTracker::note(std::string problem) {
  if (extra_.problems.size() < kMaxProblems) extra_.problems.push_back(std::move(problem));
}

void ReplyTracker::sendDone(uint64_t sequence, bool ok, const std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  Entry& e = entries_.at(sequence);
  if (e.send != 0) return;
  e.send = ok ? 1 : 2;
  if (!ok) {
    note("send of " + idOf(sequence) + " failed: " + error);
    // Frees the window; a reply that still comes counts as an answer.
    if (e.replies == 0) release(e);
  }
  changed_.notify_all();
}

void ReplyTracker::resending(uint64_t sequence, const std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  Entry& e = entries_.at(sequence);
  if (e.resends < UINT8_MAX) ++e.resends;
  ++extra_.resent;
  if (e.resends == 1) note("send of " + idOf(sequence) + " failed, sending again: " + error);
}

bool ReplyTracker::parseSequence(const std::string& correlationId, uint64_t& sequence) const {
  if (correlationId.size() <= runId_.size() + 1 || correlationId.compare(0, runId_.size(), runId_) != 0 ||
      correlationId[runId_.size()] != '-') {
    return false;
  }
  const std::string digits = correlationId.substr(runId_.size() + 1);
  if (digits.size() > 18 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  sequence = std::stoull(digits);
  return sequence < entries_.size();
}

void ReplyTracker::reply(const std::string& correlationId, const std::string& messageId, const std::string& queueName,
                         const std::string& body) {
  const auto now = Clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  // The broker hands a message out again when our acknowledgement was lost;
  // that is not a second reply from the service.
  if (!messageId.empty() && !messageIds_.insert(messageId).second) {
    ++extra_.redelivered;
    return;
  }
  uint64_t sequence = 0;
  if (!parseSequence(correlationId, sequence) || !entries_[sequence].registered) {
    ++extra_.foreign;
    return;
  }
  Entry& e = entries_[sequence];
  if (!expectsReply(e.kind)) {
    ++extra_.unexpected;
    note("reply to " + correlationId + " (" + kindName(e.kind) + ") that must get none");
    return;
  }
  ++e.replies;
  if (e.replies > 1) {
    note("reply " + std::to_string(e.replies) + " to " + correlationId);
    return;
  }
  e.answeredAt = now;
  const std::string id = idOf(sequence);
  const int queue = callbackIndex(settings_, queueName);
  if (queue != queueOf(e.kind)) {
    e.wrong = true;
    note("reply to " + id + " (" + kindName(e.kind) + ") came on queue '" + queueName + "'");
  } else if (mode_ == CheckMode::Body) {
    bool allowed = false;
    if (auto problem = checkReply(e.kind, id, targets_, body, allowedCodes_, &allowed)) {
      e.wrong = true;
      std::string shown = body.substr(0, 300);
      while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r')) shown.pop_back();
      note("reply to " + id + " (" + kindName(e.kind) + "): " + *problem + ": " + shown);
    }
    e.allowedFailure = allowed;
  }
  release(e);
}

void ReplyTracker::waitWindow(size_t window) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return inFlight_ < std::max<size_t>(window, 1); });
}

bool ReplyTracker::settledUpTo(uint64_t sequence) const {
  for (uint64_t i = 0; i < sequence && i < entries_.size(); ++i) {
    if (entries_[i].registered && !entries_[i].released) return false;
  }
  return true;
}

bool ReplyTracker::drainUpTo(uint64_t sequence, std::chrono::milliseconds idle) {
  std::unique_lock<std::mutex> lock(mutex_);
  lastProgress_ = Clock::now();
  for (;;) {
    if (settledUpTo(sequence)) return true;
    const auto deadline = lastProgress_ + idle;
    if (Clock::now() >= deadline) return false;
    changed_.wait_until(lock, deadline);
  }
}

bool ReplyTracker::drain(std::chrono::milliseconds idle) {
  std::unique_lock<std::mutex> lock(mutex_);
  lastProgress_ = Clock::now();
  for (;;) {
    if (inFlight_ == 0) return true;
    const auto deadline = lastProgress_ + idle;
    if (Clock::now() >= deadline) return false;
    changed_.wait_until(lock, deadline);
  }
}

size_t ReplyTracker::inFlight() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return inFlight_;
}

RunCounts ReplyTracker::counts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  RunCounts c = extra_;
  for (uint64_t i = 0; i < entries_.size(); ++i) {
    const Entry& e = entries_[i];
    if (!e.registered) continue;
    if (e.resends > 0) c.resentIds.push_back(idOf(i));
    const auto k = static_cast<size_t>(e.kind);
    ++c.sent;
    ++c.sentByKind[k];
    if (e.send == 1) ++c.sendConfirmed;
    if (e.send == 2) ++c.sendFailed;
    if (!expectsReply(e.kind)) continue;
    ++c.expected;
    if (e.replies > 0) {
      ++c.answered;
      ++c.answeredByKind[k];
      c.duplicated += e.replies - 1;
      if (e.resends > 0) {
        ++c.answeredResent;
        c.duplicatedResent += e.replies - 1;
      }
      if (e.wrong) ++c.wrongBody;
      if (e.allowedFailure) ++c.allowedFailures;
    } else if (e.send == 2) {
      ++c.lostAtSend;
    } else {
      ++c.missing;
    }
  }
  return c;
}

std::vector<double> ReplyTracker::latencies() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<double> out;
  out.reserve(entries_.size());
  for (uint64_t i = measuredFrom_; i < entries_.size(); ++i) {
    const Entry& e = entries_[i];
    if (e.registered && e.replies > 0) {
      out.push_back(std::chrono::duration<double, std::micro>(e.answeredAt - e.start).count());
    }
  }
  return out;
}

double ReplyTracker::measuredSeconds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  bool any = false;
  Clock::time_point first{}, last{};
  for (uint64_t i = measuredFrom_; i < entries_.size(); ++i) {
    const Entry& e = entries_[i];
    if (!e.registered) continue;
    if (!any || e.start < first) first = e.start;
    if (e.replies > 0 && (!any || e.answeredAt > last)) last = e.answeredAt;
    any = true;
  }
  if (!any || last <= first) return 0;
  return std::chrono::duration<double>(last - first).count();
}

}  // namespace bench

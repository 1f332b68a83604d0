#pragma once
// Whether the trading-server session is open, as the results of calls and
// the library's session sink tell it. Reported from any thread that calls
// the server; read by the requests that wait for it; the keeper waits for a
// loss and marks it open again.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

class SessionState {
 public:
  bool up() const { return up_.load(); }
  // Losses reported so far: a request compares it before and after its calls
  // to tell whether one of them met a lost session.
  uint64_t losses() const { return losses_.load(); }

  // The session is gone; why is what the keeper reports.
  void lost(const std::string& why) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++losses_;
      if (!up_.exchange(false)) return;  // known already
      pending_ = why;
    }
    changed_.notify_all();
  }
  void opened() {
    std::lock_guard<std::mutex> lock(mutex_);
    up_ = true;
    pending_.reset();
  }
  // Marks it open unless a loss was reported since `losses` was read (that
  // loss found it down already and would be swallowed): false then.
  bool openedIf(uint64_t losses) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (losses_.load() != losses) return false;
    up_ = true;
    pending_.reset();
    return true;
  }
  // Returns the first loss reported since the last call, or nothing once
  // stop() was called.
  std::optional<std::string> waitForLoss() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return stopping_ || pending_.has_value(); });
    if (stopping_) return std::nullopt;
    std::optional<std::string> why;
    why.swap(pending_);
    return why;
  }
  // Sleeps for delay; false at once when stopping.
  template <typename Duration>
  bool pause(Duration delay) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !changed_.wait_for(lock, delay, [this] { return stopping_; });
  }
  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
  }
  // Before a new start (a loss reported before it is kept).
  void reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = false;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::atomic<bool> up_{false};
  std::atomic<uint64_t> losses_{0};
  std::optional<std::string> pending_;
  bool stopping_ = false;
};

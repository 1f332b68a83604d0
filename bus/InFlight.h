#pragma once
// Counts the requests being carried out, so that a stop (or a fatal broker
// error) can wait until each has reached "done" in the journal, and tells
// waiting loops (reply resends, waits for another process) to give up.
#include <chrono>
#include <condition_variable>
#include <mutex>

class InFlight {
 public:
  // False once stopping: the delivery is left unacknowledged.
  bool enter() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return false;
    ++count_;
    return true;
  }
  void leave() {
    std::lock_guard<std::mutex> lock(mutex_);
    --count_;
    changed_.notify_all();
  }
  // No more requests are taken; waiting loops end.
  void stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
  }
  bool stopping() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopping_;
  }
  // True when every request left within bound.
  bool waitIdle(std::chrono::milliseconds bound) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, bound, [this] { return count_ == 0; });
  }
  // Sleeps for delay; false (at once) when stopping.
  bool pause(std::chrono::milliseconds delay) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !changed_.wait_for(lock, delay, [this] { return stopping_; });
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
  bool stopping_ = false;
};

// Leaves on every path out of a request's carrying out, or at release().
class InFlightTicket {
 public:
  explicit InFlightTicket(InFlight& inFlight) : inFlight_(&inFlight) {}
  ~InFlightTicket() { release(); }
  InFlightTicket(const InFlightTicket&) = delete;
  InFlightTicket& operator=(const InFlightTicket&) = delete;
  void release() {
    if (inFlight_) inFlight_->leave();
    inFlight_ = nullptr;
  }

 private:
  InFlight* inFlight_;
};

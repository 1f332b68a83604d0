#pragma once
// Collects messages handed to a listener so a test can wait for them.
#include "stomp/Client.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

namespace stomp::test {

class Received {
 public:
  stomp::MessageListener listener() {
    return [this](const stomp::Message& m) { push(m); };
  }

  // Notifies under the lock: a waiter that returns may destroy this object
  // at once, and the notifying thread must not touch it after that.
  void push(const stomp::Message& m) {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(m);
    cv_.notify_all();
  }

  // The next message, or nothing after `timeout`.
  std::optional<stomp::Message> next(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, timeout, [this] { return !messages_.empty(); })) return std::nullopt;
    auto m = messages_.front();
    messages_.pop_front();
    return m;
  }

  std::size_t size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<stomp::Message> messages_;
};

// A flag a listener sets and a test waits for.
class Signal {
 public:
  void set(std::string text = {}) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++count_;
    text_ = std::move(text);
    cv_.notify_all();
  }
  bool waitFor(int count = 1, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return count_ >= count; });
  }
  int count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
  }
  std::string text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  int count_ = 0;
  std::string text_;
};

}  // namespace stomp::test

#pragma once
// The sinks subscribed to one kind of notification, and the one being
// notified right now, so that an unsubscribe can wait for its notification
// to end. Notifications are numbered; a sink sees those numbered above the
// number it was subscribed with.
#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "manager/ResultCodes.h"

namespace tradesim {

template <typename Sink>
class SinkSet {
 public:
  // Subscribing a sink twice keeps the first subscription.
  void add(Sink* sink, int64_t after) {
    std::lock_guard lock(mutex_);
    if (find(sink) == entries_.end()) entries_.push_back({sink, after});
  }

  // Returns once no notification to the sink is running or will start. On
  // the thread that notifies it, it only unsubscribes: it cannot wait for
  // itself.
  MTAPIRES remove(Sink* sink) {
    std::unique_lock lock(mutex_);
    const auto found = find(sink);
    if (found == entries_.end()) return mtret::NotFound;
    entries_.erase(found);
    idle_.wait(lock, [&] { return current_ != sink || notifier_ == std::this_thread::get_id(); });
    return mtret::Ok;
  }

  void clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
  }

  // The lowest number subscribed with; none without subscriptions.
  std::optional<int64_t> lowestAfter() const {
    std::lock_guard lock(mutex_);
    const auto lowest = std::min_element(entries_.begin(), entries_.end(),
                                         [](const Entry& a, const Entry& b) { return a.after < b.after; });
    if (lowest == entries_.end()) return std::nullopt;
    return lowest->after;
  }

  // Calls notify(sink) for notification number seq, for each sink that is
  // to see it, as long as it is still subscribed. A throwing sink does not
  // keep the others from it.
  template <typename Notify>
  void notify(int64_t seq, Notify&& notify) {
    std::vector<Sink*> targets;
    {
      std::lock_guard lock(mutex_);
      for (const Entry& e : entries_) {
        if (e.after < seq) targets.push_back(e.sink);
      }
    }
    for (Sink* sink : targets) {
      {
        std::lock_guard lock(mutex_);
        const auto found = find(sink);
        if (found == entries_.end() || found->after >= seq) continue;
        current_ = sink;
        notifier_ = std::this_thread::get_id();
      }
      try {
        notify(sink);
      } catch (...) {
      }
      {
        std::lock_guard lock(mutex_);
        current_ = nullptr;
        notifier_ = std::thread::id();
      }
      idle_.notify_all();
    }
  }

 private:
  struct Entry {
    Sink* sink;
    int64_t after;
  };

  typename std::vector<Entry>::iterator find(Sink* sink) {
    return std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.sink == sink; });
  }

  mutable std::mutex mutex_;
  std::condition_variable idle_;
  std::vector<Entry> entries_;
  Sink* current_ = nullptr;
  std::thread::id notifier_;  // the thread inside current_'s notification
};

}  // namespace tradesim

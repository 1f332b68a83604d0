#include "tradesim/DealWatcher.h"

#include <algorithm>
#include <chrono>

#include "tradesim/DealView.h"
#include "tradesim/Store.h"

namespace tradesim {
namespace {
constexpr auto kPollInterval = std::chrono::milliseconds(10);
constexpr int kBatch = 256;
}  // namespace

DealWatcher::DealWatcher(std::string databasePath) : databasePath_(std::move(databasePath)) {}

DealWatcher::~DealWatcher() { stop(); }

MTAPIRES DealWatcher::attach(IMTDealSink* sink, int64_t afterSeq) {
  if (!sink) return mtret::InvalidParams;
  std::lock_guard lock(mutex_);
  if (stopping_) return mtret::Error;
  const bool known =
      std::any_of(subscriptions_.begin(), subscriptions_.end(), [&](const Subscription& s) { return s.sink == sink; });
  if (!known) subscriptions_.push_back({sink, afterSeq});
  if (!thread_.joinable()) {
    thread_ = std::thread([this] { run(); });
    threadId_ = thread_.get_id();
  }
  return mtret::Ok;
}

MTAPIRES DealWatcher::detach(IMTDealSink* sink) {
  std::unique_lock lock(mutex_);
  const auto found =
      std::find_if(subscriptions_.begin(), subscriptions_.end(), [&](const Subscription& s) { return s.sink == sink; });
  if (found == subscriptions_.end()) return mtret::NotFound;
  subscriptions_.erase(found);
  if (std::this_thread::get_id() != threadId_) {
    idle_.wait(lock, [&] { return current_ != sink; });
  }
  return mtret::Ok;
}

void DealWatcher::wake() {
  {
    std::lock_guard lock(mutex_);
    woken_ = true;
  }
  wakeup_.notify_one();
}

void DealWatcher::stop() {
  std::thread thread;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    subscriptions_.clear();
    thread.swap(thread_);
  }
  wakeup_.notify_one();
  if (!thread.joinable()) return;
  if (thread.get_id() == std::this_thread::get_id()) {
    thread.detach();  // stopped from one of its own notifications
  } else {
    thread.join();
  }
}

void DealWatcher::run() {
  std::unique_ptr<Store> store;
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      wakeup_.wait_for(lock, kPollInterval, [&] { return stopping_ || woken_; });
      if (stopping_) return;
      woken_ = false;
      if (subscriptions_.empty()) continue;
      // Events older than every subscription are of no interest.
      const auto oldest =
          std::min_element(subscriptions_.begin(), subscriptions_.end(),
                           [](const Subscription& a, const Subscription& b) { return a.afterSeq < b.afterSeq; });
      cursor_ = std::max(cursor_, oldest->afterSeq);
    }
    try {
      // The database may not exist yet; keep trying on every interval.
      if (!store) store = std::make_unique<Store>(databasePath_);
      while (poll(*store)) {
      }
    } catch (const std::exception&) {
      store.reset();
    }
  }
}

bool DealWatcher::poll(Store& store) {
  const auto events = store.eventsAfter(cursor_, kBatch);
  for (const auto& event : events) {
    deliver(event);
    cursor_ = event.seq;
    std::lock_guard lock(mutex_);
    if (stopping_) return false;
  }
  return events.size() == static_cast<size_t>(kBatch);
}

void DealWatcher::deliver(const DealEvent& event) {
  const DealView deal(event.deal);
  std::vector<IMTDealSink*> targets;
  {
    std::lock_guard lock(mutex_);
    for (const auto& s : subscriptions_) {
      if (s.afterSeq < event.seq) targets.push_back(s.sink);
    }
  }
  for (IMTDealSink* sink : targets) {
    {
      // Still subscribed? A detach may have come in the meantime.
      std::lock_guard lock(mutex_);
      const bool subscribed = std::any_of(subscriptions_.begin(), subscriptions_.end(), [&](const Subscription& s) {
        return s.sink == sink && s.afterSeq < event.seq;
      });
      if (!subscribed || stopping_) continue;
      current_ = sink;
    }
    try {
      switch (event.kind) {
        case DealEventKind::Add:
          sink->OnDealAdd(&deal);
          break;
        case DealEventKind::Update:
          sink->OnDealUpdate(&deal);
          break;
        case DealEventKind::Delete:
          sink->OnDealDelete(&deal);
          break;
      }
    } catch (...) {
      // A throwing sink must not end the delivery of later events.
    }
    {
      std::lock_guard lock(mutex_);
      current_ = nullptr;
    }
    idle_.notify_all();
  }
}

}  // namespace tradesim

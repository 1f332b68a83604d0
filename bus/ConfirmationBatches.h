#pragma once
// Which ready items go into the next confirmation: one batch in flight at a
// time; what becomes ready meanwhile waits and goes out together (up to a
// bound) when the batch in flight ends. A lone item goes out at once, so
// batches form under load without adding any wait at low load. Not
// thread-safe: the owner holds its own lock around every call.
#include <cstddef>
#include <deque>
#include <vector>

template <typename Item>
class ConfirmationBatches {
 public:
  explicit ConfirmationBatches(std::size_t maxBatch) : maxBatch_(maxBatch ? maxBatch : 1) {}

  // An item is ready. Returns the batch to start now (this item alone) when
  // none is in flight, else nothing: it waits for the next one.
  std::vector<Item> ready(Item item) {
    waiting_.push_back(std::move(item));
    if (inFlight_) return {};
    return take();
  }

  // The batch in flight ended (confirmed or failed). Returns the next batch
  // to start, or nothing when none is waiting.
  std::vector<Item> finished() {
    inFlight_ = false;
    return take();
  }

  bool inFlight() const { return inFlight_; }
  std::size_t waiting() const { return waiting_.size(); }

 private:
  std::vector<Item> take() {
    std::vector<Item> batch;
    while (!waiting_.empty() && batch.size() < maxBatch_) {
      batch.push_back(std::move(waiting_.front()));
      waiting_.pop_front();
    }
    inFlight_ = !batch.empty();
    return batch;
  }

  std::size_t maxBatch_;
  std::deque<Item> waiting_;
  bool inFlight_ = false;
};

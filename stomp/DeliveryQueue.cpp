#include "stomp/DeliveryQueue.h"

#include <algorithm>

namespace stomp::detail {

bool DeliveryQueue::push(DeliveryItem item) {
  bool room = true;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_) return true;
    if (item.kind == DeliveryItem::Kind::Message && ++messages_ >= limit_) room = false;
    full_ = full_ || !room;
    items_.push_back(std::move(item));
  }
  ready_.notify_one();
  return room;
}

std::optional<DeliveryItem> DeliveryQueue::pop(bool& resumeReading) {
  resumeReading = false;
  std::unique_lock<std::mutex> lock(mutex_);
  ready_.wait(lock, [this] { return stopped_ || !items_.empty(); });
  if (stopped_) return std::nullopt;
  DeliveryItem item = std::move(items_.front());
  items_.pop_front();
  if (item.kind == DeliveryItem::Kind::Message) --messages_;
  if (full_ && messages_ <= limit_ / 2) {
    full_ = false;
    resumeReading = true;
  }
  return item;
}

void DeliveryQueue::dropRedeliverable() {
  std::lock_guard<std::mutex> lock(mutex_);
  auto redeliverable = [](const DeliveryItem& d) {
    return d.kind == DeliveryItem::Kind::Message && d.mode != AckMode::Auto;
  };
  messages_ -= static_cast<std::size_t>(std::count_if(items_.begin(), items_.end(), redeliverable));
  items_.erase(std::remove_if(items_.begin(), items_.end(), redeliverable), items_.end());
}

void DeliveryQueue::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    items_.clear();
    messages_ = 0;
  }
  ready_.notify_all();
}

std::size_t DeliveryQueue::messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

}  // namespace stomp::detail

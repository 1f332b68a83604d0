#pragma once
// The message ids a consumer has handled lately. A message whose ACK was lost
// with its connection (under failover) comes back with the same id; it has
// been carried out already and must not be carried out twice.
#include <cstddef>
#include <deque>
#include <string>
#include <unordered_set>

class RecentDeliveries {
 public:
  explicit RecentDeliveries(std::size_t capacity = 20000) : capacity_(capacity) {}

  // Remembers id; false when it was remembered already. The oldest id is
  // forgotten once capacity is reached. Called from one delivery thread.
  bool remember(const std::string& id) {
    if (!ids_.insert(id).second) return false;
    order_.push_back(id);
    if (order_.size() > capacity_) {
      ids_.erase(order_.front());
      order_.pop_front();
    }
    return true;
  }

 private:
  std::size_t capacity_;
  std::unordered_set<std::string> ids_;
  std::deque<std::string> order_;
};

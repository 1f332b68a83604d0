#include "stomp/AckTable.h"

namespace stomp {

void AckTable::delivered(const std::string& subscription, const std::string& ackId, bool cumulative) {
  if (byId_.count(ackId)) return;  // the same delivery twice: one ACK settles it
  const std::uint64_t sequence = nextSequence_++;
  byId_.emplace(ackId, Entry{subscription, sequence});
  Subscription& s = subscriptions_[subscription];
  s.cumulative = cumulative;
  s.bySequence.emplace(sequence, ackId);
}

bool AckTable::acknowledge(const std::string& ackId) {
  auto it = byId_.find(ackId);
  if (it == byId_.end()) return false;
  const Entry entry = it->second;
  Subscription& s = subscriptions_[entry.subscription];
  if (!s.cumulative) {
    s.bySequence.erase(entry.sequence);
    byId_.erase(it);
    return true;
  }
  auto end = s.bySequence.upper_bound(entry.sequence);
  for (auto covered = s.bySequence.begin(); covered != end; ++covered) byId_.erase(covered->second);
  s.bySequence.erase(s.bySequence.begin(), end);
  return true;
}

std::size_t AckTable::outstandingOn(const std::string& subscription) const {
  auto it = subscriptions_.find(subscription);
  return it == subscriptions_.end() ? 0 : it->second.bySequence.size();
}

void AckTable::purge(const std::string& subscription) {
  auto it = subscriptions_.find(subscription);
  if (it == subscriptions_.end()) return;
  for (const auto& [sequence, ackId] : it->second.bySequence) byId_.erase(ackId);
  subscriptions_.erase(it);
}

void AckTable::clear() {
  byId_.clear();
  subscriptions_.clear();
}

}  // namespace stomp

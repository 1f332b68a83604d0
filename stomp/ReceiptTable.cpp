#include "stomp/ReceiptTable.h"

namespace stomp {

std::string ReceiptTable::newReceiptId() { return "rcpt-" + std::to_string(next_++); }

void ReceiptTable::expect(std::string receipt, std::string what, SteadyTime deadline, ResultHandler done) {
  if (auto old = entries_.find(receipt); old != entries_.end()) deadlines_.erase({old->second.deadline, receipt});
  deadlines_.emplace(deadline, receipt);
  std::string key = receipt;
  entries_[std::move(key)] = Entry{std::move(receipt), std::move(what), deadline, std::move(done)};
}

std::optional<ReceiptTable::Entry> ReceiptTable::take(const std::string& receipt) {
  auto it = entries_.find(receipt);
  if (it == entries_.end()) return std::nullopt;
  Entry e = std::move(it->second);
  entries_.erase(it);
  deadlines_.erase({e.deadline, e.receipt});
  return e;
}

std::vector<ReceiptTable::Entry> ReceiptTable::takeExpired(SteadyTime now) {
  std::vector<Entry> out;
  while (!deadlines_.empty() && deadlines_.begin()->first <= now) {
    const std::string receipt = deadlines_.begin()->second;
    if (auto e = take(receipt))
      out.push_back(std::move(*e));
    else
      deadlines_.erase(deadlines_.begin());
  }
  return out;
}

std::vector<ReceiptTable::Entry> ReceiptTable::takeAll() {
  std::vector<Entry> out;
  for (const auto& [deadline, receipt] : deadlines_) out.push_back(std::move(entries_.at(receipt)));
  entries_.clear();
  deadlines_.clear();
  return out;
}

std::optional<SteadyTime> ReceiptTable::nextDeadline() const {
  if (deadlines_.empty()) return std::nullopt;
  return deadlines_.begin()->first;
}

}  // namespace stomp

#pragma once
// Deliveries of one session not yet acknowledged, per subscription. An ACK
// the broker does not expect (twice, or for a message of an earlier session)
// is answered with an ERROR that ends the connection, so every ACK is checked
// here first. Protocol core: no I/O.
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>

namespace stomp {

class AckTable {
 public:
  // `cumulative`: the subscription is in client mode, where an ACK also
  // covers every earlier message of that subscription.
  void delivered(const std::string& subscription, const std::string& ackId, bool cumulative);

  // Removes what an ACK (or NACK) of `ackId` covers; false when nothing is
  // outstanding under that id, and the frame must not go out.
  bool acknowledge(const std::string& ackId);

  bool outstanding(const std::string& ackId) const { return byId_.count(ackId) != 0; }
  std::size_t outstanding() const { return byId_.size(); }
  std::size_t outstandingOn(const std::string& subscription) const;

  // The subscription is gone: its messages come again to someone else.
  void purge(const std::string& subscription);
  // The session is gone: the broker delivers all of them again.
  void clear();

 private:
  struct Entry {
    std::string subscription;
    std::uint64_t sequence;
  };
  struct Subscription {
    bool cumulative = false;
    std::map<std::uint64_t, std::string> bySequence;  // delivery order -> ack id
  };

  std::unordered_map<std::string, Entry> byId_;
  std::unordered_map<std::string, Subscription> subscriptions_;
  std::uint64_t nextSequence_ = 1;
};

}  // namespace stomp

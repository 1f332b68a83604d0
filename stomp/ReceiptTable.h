#pragma once
// Every frame of a session that waits for the broker's RECEIPT (SEND,
// SUBSCRIBE, ACK, BEGIN, COMMIT, ABORT, DISCONNECT) with its deadline and
// what to call when it is settled. The table only sorts entries out; the
// caller runs the completions, after the table is consistent again, so that
// a completion may start new requests. Protocol core: no I/O.
#include "stomp/Failure.h"
#include "stomp/Time.h"

#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace stomp {

class ReceiptTable {
 public:
  struct Entry {
    std::string receipt;
    std::string what;  // "send to /queue/q", for messages
    SteadyTime deadline;
    ResultHandler done;
  };

  // A fresh receipt id ("rcpt-N"), unique for the table's life.
  std::string newReceiptId();
  void expect(std::string receipt, std::string what, SteadyTime deadline, ResultHandler done);

  // The entry answered by RECEIPT or ERROR, if still waiting (a late
  // receipt after its deadline finds nothing).
  std::optional<Entry> take(const std::string& receipt);
  // Entries whose deadline is at or before `now`, oldest first.
  std::vector<Entry> takeExpired(SteadyTime now);
  // Everything, for a lost or closed session.
  std::vector<Entry> takeAll();

  bool waiting(const std::string& receipt) const { return entries_.count(receipt) != 0; }
  std::size_t size() const { return entries_.size(); }
  std::optional<SteadyTime> nextDeadline() const;

 private:
  std::map<std::string, Entry> entries_;
  std::set<std::pair<SteadyTime, std::string>> deadlines_;
  std::uint64_t next_ = 1;
};

}  // namespace stomp

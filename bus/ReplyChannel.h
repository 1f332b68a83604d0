#pragma once
// Where a reply goes once its request's correlation id is known: the
// callback queue's producer in the service, a recorder in tests.
#include <string>
#include <vector>

struct OutgoingReply {
  std::string text;
  std::string correlationId;
};

class ReplyChannel {
 public:
  // Sends text as one reply carrying the header correlation-id (none when
  // correlationId is empty). Throws when the reply could not be delivered.
  virtual void sendReply(std::string text, const std::string& correlationId) = 0;
  // Sends replies that the broker takes all together or not at all; throws
  // when it did not confirm them (some may have arrived: they are sent
  // again, a duplicate reply being harmless where a lost one is not).
  virtual void sendReplies(const std::vector<OutgoingReply>& replies) {
    for (const OutgoingReply& r : replies) sendReply(r.text, r.correlationId);
  }
  // The callback queue's name, for the daily log.
  virtual const std::string& destination() const = 0;

 protected:
  ~ReplyChannel() = default;
};

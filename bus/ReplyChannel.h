#pragma once
// Where a reply goes once its request's correlation id is known: the
// callback queue's producer in the service, a recorder in tests.
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "bus/ConfirmationPolicy.h"
#include "stomp/Error.h"

struct OutgoingReply {
  std::string text;
  std::string correlationId;
};

class ReplyChannel {
 public:
  // why: what the broker said, for a refusal.
  using SentCallback = std::function<void(SendResult, const std::string& why)>;

  // Sends text as one reply carrying the header correlation-id (none when
  // correlationId is empty). Throws when the reply could not be delivered.
  virtual void sendReply(std::string text, const std::string& correlationId) = 0;
  // Sends replies that the broker takes all together or not at all; throws
  // when it did not confirm them (some may have arrived: they are sent
  // again, a duplicate reply being harmless where a lost one is not).
  virtual void sendReplies(const std::vector<OutgoingReply>& replies) {
    for (const OutgoingReply& r : replies) sendReply(r.text, r.correlationId);
  }
  // The same without waiting: done is told how the broker answered, on
  // any thread, possibly before this returns. It must not block. Here: the
  // blocking form, for channels that answer at once.
  virtual void sendRepliesAsync(const std::vector<OutgoingReply>& replies, SentCallback done) {
    try {
      sendReplies(replies);
    } catch (const stomp::BrokerError& e) {
      return done(SendResult::Refused, e.what());
    } catch (const std::exception& e) {
      return done(SendResult::Failed, e.what());
    }
    done(SendResult::Confirmed, std::string());
  }
  // The callback queue's name, for the daily log.
  virtual const std::string& destination() const = 0;

 protected:
  ~ReplyChannel() = default;
};

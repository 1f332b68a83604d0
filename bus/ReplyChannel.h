#pragma once
// Where a reply goes once its request's correlation id is known: the
// callback queue's producer in the service, a recorder in tests.
#include <string>

class ReplyChannel {
 public:
  // Sends text as one reply carrying the header correlation-id (none when
  // correlationId is empty). Throws when the reply could not be delivered.
  virtual void sendReply(std::string text, const std::string& correlationId) = 0;
  // The callback queue's name, for the daily log.
  virtual const std::string& destination() const = 0;

 protected:
  ~ReplyChannel() = default;
};

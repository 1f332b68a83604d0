#pragma once
// A message delivered by the broker to a subscription.
#include "stomp/Headers.h"

#include <cstdint>
#include <optional>
#include <string>

namespace stomp {

namespace detail {
class ConnectionCore;
}

class Message {
 public:
  Message() = default;
  Message(std::string body, Headers headers) : body_(std::move(body)), headers_(std::move(headers)) {}

  const std::string& body() const noexcept { return body_; }
  const Headers& headers() const noexcept { return headers_; }
  std::optional<std::string> header(const std::string& name) const { return findHeader(headers_, name); }

  // A text message: no content-length header, or an explicit text type
  // (amq-msg-type:text, or a content-type starting with "text/").
  bool isText() const;
  bool redelivered() const;           // header redelivered:true
  std::string correlationId() const;  // header correlation-id, "" if none
  std::string messageId() const;      // header message-id
  std::string destination() const;    // header destination ("/queue/q")
  std::string subscription() const;   // header subscription (our subscription id)

 private:
  friend class detail::ConnectionCore;
  std::string body_;
  Headers headers_;
  // Where an ACK for this message has to go: the session it arrived on (an
  // ACK from an earlier session is void) and its ack id.
  std::uint64_t generation_ = 0;
  const void* owner_ = nullptr;
  std::string ackId_;
  std::string subscriptionId_;
};

}  // namespace stomp

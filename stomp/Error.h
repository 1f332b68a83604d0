#pragma once
// Typed errors of the broker client. Every error the library raises derives
// from stomp::Error, so a caller may catch that one type.
#include <stdexcept>
#include <string>

namespace stomp {

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The broker URI cannot be parsed or names something unusable.
class UriError : public Error {
 public:
  using Error::Error;
};

// No STOMP session could be established (refused, unreachable, TLS failure,
// no CONNECTED within the connect time-out, ...).
class ConnectError : public Error {
 public:
  using Error::Error;
};

// The broker answered with an ERROR frame. what() carries a readable text;
// brokerMessage() is the frame's "message" header, details() its body.
class BrokerError : public Error {
 public:
  BrokerError(const std::string& what, std::string brokerMessage, std::string details)
      : Error(what), brokerMessage_(std::move(brokerMessage)), details_(std::move(details)) {}
  const std::string& brokerMessage() const noexcept { return brokerMessage_; }
  const std::string& details() const noexcept { return details_; }

 private:
  std::string brokerMessage_;
  std::string details_;
};

// A bounded wait ran out (receipt, connect, disconnect).
class TimeoutError : public Error {
 public:
  using Error::Error;
};

// The connection went away (or was closed) while the operation was pending.
// For a send this means the broker may or may not have taken the message.
class ConnectionLostError : public Error {
 public:
  using Error::Error;
};

// The peer broke the protocol: malformed frame, over a size limit, ...
class ProtocolError : public Error {
 public:
  using Error::Error;
};

// A configured bound on queued work was reached and the request was not
// taken (nothing was sent): an asynchronous caller is told at once, a
// blocking one waits for room first.
class LimitError : public Error {
 public:
  using Error::Error;
};

}  // namespace stomp

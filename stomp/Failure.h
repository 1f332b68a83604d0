#pragma once
// An error as a value: what the library's internals pass around instead of
// exceptions. It holds only text, so a copy may cross threads freely; the
// public typed exceptions (stomp::Error and its subclasses) are made from it
// once, where a caller receives them. Protocol core: no I/O.
#include "stomp/Error.h"

#include <exception>
#include <functional>
#include <memory>
#include <string>

namespace stomp {

struct Failure {
  enum class Kind { General, Uri, Connect, Broker, Timeout, ConnectionLost, Protocol, Limit };

  Kind kind = Kind::General;
  std::string what;
  std::string brokerMessage;  // Broker: the ERROR frame's "message" header
  std::string details;        // Broker: the ERROR frame's body

  Failure() = default;
  Failure(Kind k, std::string text) : kind(k), what(std::move(text)) {}

  // The record for an exception thrown by the protocol core (or anything else).
  static Failure of(const std::exception& e);
  static Failure ofCurrentException();
  // The same failure with `context` put in front of its text.
  Failure within(const std::string& context) const;
};

// Builds the public exception for `failure`.
[[noreturn]] void raise(const Failure& failure);
std::exception_ptr toException(const Failure& failure);
// The public exception for `failure`, not thrown.
std::shared_ptr<Error> errorFor(const Failure& failure);

// How an operation ends: called once, with nullptr on success.
using ResultHandler = std::function<void(const Failure*)>;

}  // namespace stomp

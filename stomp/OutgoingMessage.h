#pragma once
// What a caller hands to the connection: acknowledgement modes and messages
// to send. Protocol core: no I/O.
#include "stomp/Headers.h"

#include <string>

namespace stomp {

enum class AckMode {
  Auto,              // broker considers a message delivered once sent
  Client,            // cumulative ACK by the caller (ack())
  ClientIndividual,  // per-message ACK by the caller (ack())
  AfterCallback      // client-individual; the library ACKs when the listener returns
};

// A message to send. Text (no NUL byte in the body) goes without
// content-length so that JMS consumers see a TextMessage; a body with a NUL
// byte goes with content-length and amq-msg-type:text unless `bytes` is set.
struct OutgoingMessage {
  std::string body;
  std::string correlationId;  // empty: no correlation-id header
  Headers headers;            // extra headers (e.g. reply-to, type)
  bool persistent = true;
  bool bytes = false;       // send as a bytes message (content-length, no text type)
  std::string transaction;  // from Connection::beginTransaction(); empty: none

  OutgoingMessage() = default;
  OutgoingMessage(std::string b) : body(std::move(b)) {}
  OutgoingMessage(std::string b, std::string corr) : body(std::move(b)), correlationId(std::move(corr)) {}
};

}  // namespace stomp

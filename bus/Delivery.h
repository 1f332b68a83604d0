#pragma once
// One delivery of a request message, as the bus handles it.
#include <cstdint>
#include <string>

class ReplyChannel;

struct Delivery {
  std::string queue;          // the request queue
  std::string text;           // the body, or the not-a-text marker
  std::string messageId;      // the broker's id: the same on every redelivery
  std::string correlationId;  // what the reply carries
  bool redelivered = false;   // the broker delivered it before
  int64_t timestampMs = 0;    // when the broker took it (0: not told)
};

// What becomes of a delivery once its request was handled.
struct Settlement {
  enum class Step {
    Acknowledge,  // nothing to send (dropped, or answered before): acknowledge it
    Confirm,      // send the reply; acknowledge once the broker confirmed it
    Leave,        // not acknowledged: the broker delivers it again
  };
  Step step = Step::Leave;
  std::string reply;
  ReplyChannel* channel = nullptr;  // where the reply goes

  static Settlement acknowledge() { return Settlement{Step::Acknowledge, std::string(), nullptr}; }
  static Settlement leave() { return Settlement{}; }
  static Settlement confirm(std::string reply, ReplyChannel& channel) {
    return Settlement{Step::Confirm, std::move(reply), &channel};
  }
};

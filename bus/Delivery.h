#pragma once
// One delivery of a request message, as the bus handles it.
#include <cstdint>
#include <string>

struct Delivery {
  std::string queue;          // the request queue
  std::string text;           // the body, or the not-a-text marker
  std::string messageId;      // the broker's id: the same on every redelivery
  std::string correlationId;  // what the reply carries
  bool redelivered = false;   // the broker delivered it before
  int64_t timestampMs = 0;    // when the broker took it (0: not told)
};

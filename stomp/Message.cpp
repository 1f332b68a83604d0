#include "stomp/Message.h"

namespace stomp {

bool Message::isText() const {
  if (auto type = header("amq-msg-type")) return *type == "text";
  if (auto type = header("content-type"))
    if (type->compare(0, 5, "text/") == 0) return true;
  return !header("content-length").has_value();
}

bool Message::redelivered() const { return header("redelivered").value_or("") == "true"; }

std::string Message::correlationId() const { return header("correlation-id").value_or(""); }
std::string Message::messageId() const { return header("message-id").value_or(""); }
std::string Message::destination() const { return header("destination").value_or(""); }
std::string Message::subscription() const { return header("subscription").value_or(""); }

}  // namespace stomp

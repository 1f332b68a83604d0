#include "messages/ReplyText.h"

#include <stdexcept>

#include "support/JsonText.h"

namespace records {

bool hasRouteType(const Json::Value& request) { return !request["routeType"].isNull(); }

std::string readRouteType(const Json::Value& request) {
  if (!hasRouteType(request)) return std::string();
  return request["routeType"].asString();
}

std::string defaultMessage(int32_t code) { return code == 200 ? "success" : "fail"; }

ReplyWriter::ReplyWriter(int32_t code) : code_(code) {
  text_.reserve(512);  // the longest record's reply with short values, in one allocation
  text_ += "{\"code\":";
  jsontext::appendInt(text_, code);
  text_ += ",\"data\":{";
}

void ReplyWriter::startMember(std::string_view key) {
  if (!firstMember_) {
    // Out of order the bytes would differ from the JsonCpp writer's.
    if (key <= previousKey_) throw std::logic_error("reply member out of key order: " + std::string(key));
    text_ += ',';
  }
  firstMember_ = false;
  previousKey_.assign(key);
  jsontext::appendString(text_, key);
  text_ += ':';
}

ReplyWriter& ReplyWriter::text(std::string_view key, std::string_view value) {
  startMember(key);
  jsontext::appendString(text_, value);
  return *this;
}

ReplyWriter& ReplyWriter::integer(std::string_view key, int64_t value) {
  startMember(key);
  jsontext::appendInt(text_, value);
  return *this;
}

ReplyWriter& ReplyWriter::unsignedInteger(std::string_view key, uint64_t value) {
  startMember(key);
  jsontext::appendUInt(text_, value);
  return *this;
}

ReplyWriter& ReplyWriter::real(std::string_view key, double value) {
  startMember(key);
  jsontext::appendDouble(text_, value);
  return *this;
}

std::string ReplyWriter::finish(const std::string& message) {
  text_ += "},\"msg\":";
  if (message.empty()) {
    jsontext::appendString(text_, defaultMessage(code_));
  } else {
    jsontext::appendString(text_, message);
  }
  text_ += "}\n";
  return std::move(text_);
}

}  // namespace records

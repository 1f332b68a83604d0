#pragma once
// Pieces shared by the four request records: the routeType presence rule and
// the reply envelope around a record's "data".
#include <cstdint>
#include <string>
#include <string_view>

#include <json/json.h>

namespace records {

// True when the request carries a non-null "routeType"; that one test also
// decides whether the trade record reads "floating".
bool hasRouteType(const Json::Value& request);

// "routeType" as text when present and not null, otherwise "".
std::string readRouteType(const Json::Value& request);

// The default message of a reply: "success" for 200, "fail" for anything else.
std::string defaultMessage(int32_t code);

// Writes {"code":code,"data":{...},"msg":message} as one line of compact JSON
// ending in "\n", the bytes writeJson gives for the same reply, without
// building it as a Json::Value. The JsonCpp writer puts an object's members
// in byte order of their keys: data's members must be added in that order,
// or std::logic_error is thrown.
class ReplyWriter {
 public:
  explicit ReplyWriter(int32_t code);

  ReplyWriter& text(std::string_view key, std::string_view value);
  ReplyWriter& integer(std::string_view key, int64_t value);
  ReplyWriter& unsignedInteger(std::string_view key, uint64_t value);
  ReplyWriter& real(std::string_view key, double value);

  // The whole reply, moved out of the writer; an empty message becomes
  // defaultMessage(code).
  std::string finish(const std::string& message);

 private:
  void startMember(std::string_view key);

  std::string text_;
  int32_t code_;
  bool firstMember_ = true;
  std::string previousKey_;
};

}  // namespace records

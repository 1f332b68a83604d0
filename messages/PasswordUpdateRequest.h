#pragma once
// A request on the password-change queue, read from its JSON object, and the
// reply built from it.
#include <cstdint>
#include <string>

#include <json/json.h>

class PasswordUpdateRequest {
 public:
  // Reads the members in a fixed order; a member of a type its accessor
  // rejects raises Json::LogicError, which is left to the caller.
  explicit PasswordUpdateRequest(const Json::Value& request);

  // The reply text (one line of compact JSON and "\n"); an empty message
  // becomes "success" for code 200 and "fail" otherwise.
  std::string BuildReply(int32_t code, std::string message) const;
  std::string BuildReply(int32_t code) const;
  std::string BuildReply() const;

  std::string serial;
  uint64_t login = 0;
  std::string masterPass;
  std::string newPass;
  int32_t type = 0;
  std::string routeType;
};

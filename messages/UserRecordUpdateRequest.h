#pragma once
// A request on the account-update queue, read from its JSON object, and the
// reply built from it.
#include <cstdint>
#include <string>

#include <json/json.h>

class UserRecordUpdateRequest {
 public:
  // Reads the members in a fixed order (serial first, although it is
  // declared late); a member of a type its accessor rejects raises
  // Json::LogicError, which is left to the caller.
  explicit UserRecordUpdateRequest(const Json::Value& request);

  // The reply text (one line of compact JSON and "\n"); an empty message
  // becomes "success" for code 200 and "fail" otherwise.
  std::string BuildReply(int32_t code, std::string message) const;
  std::string BuildReply(int32_t code) const;
  std::string BuildReply() const;

  std::string name;
  uint64_t login = 0;
  uint64_t agent = 0;
  std::string email;
  std::string phone;
  std::string country;
  std::string id;
  int32_t leverage = 0;
  int32_t groupType = 0;
  std::string group;
  std::string comment;
  std::string city;
  std::string town;
  std::string postalCode;
  std::string addressLine;
  std::string serial;
  std::string routeType;
  int32_t valid = 0;
};

#pragma once
// A request on the account-creation queue, read from its JSON object, and the
// reply built from it.
#include <cstdint>
#include <string>

#include <json/json.h>

class UserRecordCreateRequest {
 public:
  // Reads the members in a fixed order; a member of a type its accessor
  // rejects raises Json::LogicError, which is left to the caller.
  explicit UserRecordCreateRequest(const Json::Value& request);

  // The reply text (one line of compact JSON and "\n"); an empty message
  // becomes "success" for code 200 and "fail" otherwise.
  std::string BuildReply(int32_t code, std::string message) const;
  std::string BuildReply(int32_t code) const;
  std::string BuildReply() const;

  std::string serial;
  std::string name;
  uint64_t login = 0;
  uint64_t agent = 0;
  std::string email;
  std::string phone;
  std::string country;
  std::string id;
  int32_t leverage = 0;
  std::string group;
  std::string masterPass;
  std::string investorPass;
  std::string comment;
  std::string leadSource;
  std::string city;
  std::string town;
  std::string postalCode;
  std::string addressLine;
  std::string routeType;
  int32_t valid = 0;
};

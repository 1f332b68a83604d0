#pragma once
// A request on the balance queue (deposit, withdrawal, credit change or
// credit cancellation), read from its JSON object, and the reply built from it.
#include <cstdint>
#include <string>

#include <json/json.h>

class TradeTransInfoRequest {
 public:
  // Reads serial, login, amount, type and comment, sets order to -1, then
  // reads "floating" only when "routeType" is present and not null, and then
  // routeType. A member of a type its accessor rejects raises
  // Json::LogicError, which is left to the caller.
  explicit TradeTransInfoRequest(const Json::Value& request);

  // The reply text (one line of compact JSON and "\n"); an empty message
  // becomes "success" for code 200 and "fail" otherwise.
  std::string BuildReply(int32_t code, std::string message) const;
  std::string BuildReply(int32_t code) const;
  std::string BuildReply() const;

  std::string serial;
  uint64_t login = 0;
  double amount = 0.0;
  int32_t type = 0;
  std::string comment;
  std::string routeType;
  // The deal id the balance operation stores; never read from the request.
  // 64 bits wide so that every deal id reaches the reply whole.
  int64_t order = -1;
  double floating = 0.0;
};

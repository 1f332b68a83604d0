#pragma once
// Pieces shared by the four request records: the routeType presence rule and
// the reply envelope around a record's "data".
#include <cstdint>
#include <string>

#include <json/json.h>

namespace records {

// True when the request carries a non-null "routeType"; that one test also
// decides whether the trade record reads "floating".
bool hasRouteType(const Json::Value& request);

// "routeType" as text when present and not null, otherwise "".
std::string readRouteType(const Json::Value& request);

// The default message of a reply: "success" for 200, "fail" for anything else.
std::string defaultMessage(int32_t code);

// {"code":code,"data":data,"msg":message} as one line of compact JSON ending
// in "\n"; an empty message becomes defaultMessage(code).
std::string replyText(const Json::Value& data, int32_t code, const std::string& message);

}  // namespace records

#include "messages/ReplyText.h"

#include "support/Json.h"

namespace records {

bool hasRouteType(const Json::Value& request) {
  return !request["routeType"].isNull();
}

std::string readRouteType(const Json::Value& request) {
  if (!hasRouteType(request)) return std::string();
  return request["routeType"].asString();
}

std::string defaultMessage(int32_t code) {
  return code == 200 ? "success" : "fail";
}

std::string replyText(const Json::Value& data, int32_t code, const std::string& message) {
  Json::Value reply;
  reply["data"] = data;
  reply["code"] = Json::Value(static_cast<Json::Int>(code));
  reply["msg"] = message.empty() ? defaultMessage(code) : message;
  return writeJson(reply);
}

}  // namespace records

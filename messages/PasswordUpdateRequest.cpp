#include "messages/PasswordUpdateRequest.h"

#include "messages/ReplyText.h"

PasswordUpdateRequest::PasswordUpdateRequest(const Json::Value& request) {
  serial = request["serial"].asString();
  login = static_cast<uint64_t>(request["login"].asInt64());
  masterPass = request["masterPass"].asString();
  newPass = request["newPass"].asString();
  type = request["type"].asInt();
  routeType = records::readRouteType(request);
}

std::string PasswordUpdateRequest::BuildReply(int32_t code, std::string message) const {
  return records::ReplyWriter(code)
      .unsignedInteger("login", login)
      .text("masterPass", masterPass)
      .text("newPass", newPass)
      .text("routeType", routeType)
      .text("serial", serial)
      .integer("type", type)
      .finish(message);
}

std::string PasswordUpdateRequest::BuildReply(int32_t code) const {
  return BuildReply(code, records::defaultMessage(code));
}

std::string PasswordUpdateRequest::BuildReply() const { return BuildReply(200); }

#include "messages/PasswordUpdateRequest.h"

#include "messages/ReplyText.h"

PasswordUpdateRequest::PasswordUpdateRequest(Json::Value request) {
  const Json::Value& r = request;  // const lookups never insert members
  serial = r["serial"].asString();
  login = static_cast<uint64_t>(r["login"].asInt64());
  masterPass = r["masterPass"].asString();
  newPass = r["newPass"].asString();
  type = r["type"].asInt();
  routeType = records::readRouteType(r);
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

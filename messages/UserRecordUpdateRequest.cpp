#include "messages/UserRecordUpdateRequest.h"

#include "messages/ReplyText.h"

UserRecordUpdateRequest::UserRecordUpdateRequest(const Json::Value& request) {
  serial = request["serial"].asString();
  name = request["name"].asString();
  login = static_cast<uint64_t>(request["login"].asInt64());
  agent = static_cast<uint64_t>(request["agent"].asInt64());
  email = request["email"].asString();
  phone = request["phone"].asString();
  country = request["country"].asString();
  id = request["id"].asString();
  leverage = request["leverage"].asInt();
  groupType = request["groupType"].asInt();
  group = request["group"].asString();
  comment = request["comment"].asString();
  city = request["city"].asString();
  town = request["town"].asString();
  postalCode = request["postalCode"].asString();
  addressLine = request["addressLine"].asString();
  valid = request["valid"].asInt();
  routeType = records::readRouteType(request);
}

std::string UserRecordUpdateRequest::BuildReply(int32_t code, std::string message) const {
  return records::ReplyWriter(code)
      .text("addressLine", addressLine)
      .unsignedInteger("agent", agent)
      .text("city", city)
      .text("comment", comment)
      .text("country", country)
      .text("email", email)
      .text("group", group)
      .integer("groupType", groupType)
      .text("id", id)
      .integer("leverage", leverage)
      .unsignedInteger("login", login)
      .text("name", name)
      .text("phone", phone)
      .text("postalCode", postalCode)
      .text("routeType", routeType)
      .text("serial", serial)
      .text("town", town)
      .integer("valid", valid)
      .finish(message);
}

std::string UserRecordUpdateRequest::BuildReply(int32_t code) const {
  return BuildReply(code, records::defaultMessage(code));
}

std::string UserRecordUpdateRequest::BuildReply() const { return BuildReply(200); }

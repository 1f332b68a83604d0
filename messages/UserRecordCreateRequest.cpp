#include "messages/UserRecordCreateRequest.h"

#include "messages/ReplyText.h"

UserRecordCreateRequest::UserRecordCreateRequest(Json::Value request) {
  const Json::Value& r = request;  // const lookups never insert members
  serial = r["serial"].asString();
  name = r["name"].asString();
  login = static_cast<uint64_t>(r["login"].asInt64());
  agent = static_cast<uint64_t>(r["agent"].asInt64());
  email = r["email"].asString();
  phone = r["phone"].asString();
  country = r["country"].asString();
  id = r["id"].asString();
  leverage = r["leverage"].asInt();
  group = r["group"].asString();
  masterPass = r["masterPass"].asString();
  investorPass = r["investorPass"].asString();
  comment = r["comment"].asString();
  leadSource = r["leadSource"].asString();
  city = r["city"].asString();
  town = r["town"].asString();
  postalCode = r["postalCode"].asString();
  addressLine = r["addressLine"].asString();
  valid = r["valid"].asInt();
  routeType = records::readRouteType(r);
}

std::string UserRecordCreateRequest::BuildReply(int32_t code, std::string message) const {
  return records::ReplyWriter(code)
      .text("addressLine", addressLine)
      .unsignedInteger("agent", agent)
      .text("city", city)
      .text("comment", comment)
      .text("country", country)
      .text("email", email)
      .text("group", group)
      .text("id", id)
      .text("investorPass", investorPass)
      .text("leadSource", leadSource)
      .integer("leverage", leverage)
      .unsignedInteger("login", login)
      .text("masterPass", masterPass)
      .text("name", name)
      .text("phone", phone)
      .text("postalCode", postalCode)
      .text("routeType", routeType)
      .text("serial", serial)
      .text("town", town)
      .integer("valid", valid)
      .finish(message);
}

std::string UserRecordCreateRequest::BuildReply(int32_t code) const {
  return BuildReply(code, records::defaultMessage(code));
}

std::string UserRecordCreateRequest::BuildReply() const { return BuildReply(200); }

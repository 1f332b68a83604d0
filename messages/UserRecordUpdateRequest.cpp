#include "messages/UserRecordUpdateRequest.h"

#include "messages/ReplyText.h"

UserRecordUpdateRequest::UserRecordUpdateRequest(Json::Value request) {
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
  groupType = r["groupType"].asInt();
  group = r["group"].asString();
  comment = r["comment"].asString();
  city = r["city"].asString();
  town = r["town"].asString();
  postalCode = r["postalCode"].asString();
  addressLine = r["addressLine"].asString();
  valid = r["valid"].asInt();
  routeType = records::readRouteType(r);
}

std::string UserRecordUpdateRequest::BuildReply(int32_t code, std::string message) const {
  Json::Value data;
  data["serial"] = serial;
  data["name"] = name;
  data["login"] = Json::Value(static_cast<Json::UInt64>(login));
  data["agent"] = Json::Value(static_cast<Json::UInt64>(agent));
  data["email"] = email;
  data["phone"] = phone;
  data["country"] = country;
  data["id"] = id;
  data["leverage"] = Json::Value(static_cast<Json::Int>(leverage));
  data["groupType"] = Json::Value(static_cast<Json::Int>(groupType));
  data["group"] = group;
  data["comment"] = comment;
  data["city"] = city;
  data["town"] = town;
  data["postalCode"] = postalCode;
  data["addressLine"] = addressLine;
  data["valid"] = Json::Value(static_cast<Json::Int>(valid));
  data["routeType"] = routeType;
  return records::replyText(data, code, message);
}

std::string UserRecordUpdateRequest::BuildReply(int32_t code) const {
  return BuildReply(code, records::defaultMessage(code));
}

std::string UserRecordUpdateRequest::BuildReply() const { return BuildReply(200); }

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
  data["group"] = group;
  data["masterPass"] = masterPass;
  data["investorPass"] = investorPass;
  data["comment"] = comment;
  data["leadSource"] = leadSource;
  data["city"] = city;
  data["town"] = town;
  data["postalCode"] = postalCode;
  data["addressLine"] = addressLine;
  data["routeType"] = routeType;
  data["valid"] = Json::Value(static_cast<Json::Int>(valid));
  return records::replyText(data, code, message);
}

std::string UserRecordCreateRequest::BuildReply(int32_t code) const {
  return BuildReply(code, records::defaultMessage(code));
}

std::string UserRecordCreateRequest::BuildReply() const { return BuildReply(200); }

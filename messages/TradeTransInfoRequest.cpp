#include "messages/TradeTransInfoRequest.h"

#include "messages/ReplyText.h"

TradeTransInfoRequest::TradeTransInfoRequest(Json::Value request) {
  const Json::Value& r = request;  // const lookups never insert members
  serial = r["serial"].asString();
  login = static_cast<uint64_t>(r["login"].asInt64());
  amount = r["amount"].asDouble();
  type = r["type"].asInt();
  comment = r["comment"].asString();
  order = -1;
  floating = records::hasRouteType(r) ? r["floating"].asDouble() : 0.0;
  routeType = records::readRouteType(r);
}

std::string TradeTransInfoRequest::BuildReply(int32_t code, std::string message) const {
  Json::Value data;
  data["serial"] = serial;
  data["login"] = Json::Value(static_cast<Json::UInt64>(login));
  data["amount"] = Json::Value(amount);
  data["type"] = Json::Value(static_cast<Json::Int>(type));
  data["comment"] = comment;
  data["order"] = Json::Value(static_cast<Json::Int64>(order));
  data["routeType"] = routeType;
  data["floating"] = Json::Value(floating);
  return records::replyText(data, code, message);
}

std::string TradeTransInfoRequest::BuildReply(int32_t code) const {
  return BuildReply(code, records::defaultMessage(code));
}

std::string TradeTransInfoRequest::BuildReply() const { return BuildReply(200); }

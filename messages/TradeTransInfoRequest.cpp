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
  return records::ReplyWriter(code)
      .real("amount", amount)
      .text("comment", comment)
      .real("floating", floating)
      .unsignedInteger("login", login)
      .integer("order", order)
      .text("routeType", routeType)
      .text("serial", serial)
      .integer("type", type)
      .finish(message);
}

std::string TradeTransInfoRequest::BuildReply(int32_t code) const {
  return BuildReply(code, records::defaultMessage(code));
}

std::string TradeTransInfoRequest::BuildReply() const { return BuildReply(200); }

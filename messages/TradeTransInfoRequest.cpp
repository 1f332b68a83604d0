#include "messages/TradeTransInfoRequest.h"

#include "messages/ReplyText.h"

TradeTransInfoRequest::TradeTransInfoRequest(const Json::Value& request) {
  serial = request["serial"].asString();
  login = static_cast<uint64_t>(request["login"].asInt64());
  amount = request["amount"].asDouble();
  type = request["type"].asInt();
  comment = request["comment"].asString();
  order = -1;
  floating = records::hasRouteType(request) ? request["floating"].asDouble() : 0.0;
  routeType = records::readRouteType(request);
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

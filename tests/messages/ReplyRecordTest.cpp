// The reply texts the four request records write.
#include <gtest/gtest.h>

#include <string>

#include "messages/PasswordUpdateRequest.h"
#include "messages/TradeTransInfoRequest.h"
#include "messages/UserRecordCreateRequest.h"
#include "messages/UserRecordUpdateRequest.h"
#include "support/Json.h"

namespace {

Json::Value parsed(const std::string& text) {
  Json::Value root;
  EXPECT_TRUE(parseJson(text, root)) << text;
  return root;
}

bool endsInOneLineFeed(const std::string& text) {
  return text.size() >= 2 && text.back() == '\n' && text[text.size() - 2] != '\n' &&
         text.find('\n') == text.size() - 1;
}

}  // namespace

TEST(ReplyRecord, TradeReplyIsTheExactCompactLine) {
  const TradeTransInfoRequest request(parsed(R"({"login": 1001, "amount": 100, "type": 1})"));
  EXPECT_EQ(request.BuildReply(-1),
            "{\"code\":-1,\"data\":{\"amount\":100.0,\"comment\":\"\",\"floating\":0.0,"
            "\"login\":1001,\"order\":-1,\"routeType\":\"\",\"serial\":\"\",\"type\":1},"
            "\"msg\":\"fail\"}\n");

  TradeTransInfoRequest posted(parsed(R"({"serial": "s9", "login": 1001, "amount": 2.5,
      "type": 0, "routeType": "r", "floating": 1.25})"));
  posted.order = 4294967296LL + 17;  // a deal id above 2^32 survives whole
  posted.comment = "Deposit";
  EXPECT_EQ(posted.BuildReply(),
            "{\"code\":200,\"data\":{\"amount\":2.5,\"comment\":\"Deposit\",\"floating\":1.25,"
            "\"login\":1001,\"order\":4294967313,\"routeType\":\"r\",\"serial\":\"s9\",\"type\":0},"
            "\"msg\":\"success\"}\n");
}

TEST(ReplyRecord, MessageRulesAndLineEnd) {
  const PasswordUpdateRequest request(parsed(R"({"serial": "a", "login": 5, "masterPass": "m", "newPass": "n", "type": 1})"));
  EXPECT_EQ(request.BuildReply(), request.BuildReply(200, ""));
  EXPECT_EQ(request.BuildReply(),
            "{\"code\":200,\"data\":{\"login\":5,\"masterPass\":\"m\",\"newPass\":\"n\","
            "\"routeType\":\"\",\"serial\":\"a\",\"type\":1},\"msg\":\"success\"}\n");
  EXPECT_NE(request.BuildReply(201).find("\"code\":201,"), std::string::npos);
  EXPECT_NE(request.BuildReply(201).find("\"msg\":\"fail\""), std::string::npos);
  EXPECT_NE(request.BuildReply(-1000, "no money").find("\"msg\":\"no money\""), std::string::npos);
  EXPECT_NE(request.BuildReply(200, "custom").find("\"msg\":\"custom\""), std::string::npos);

  for (const std::string& text :
       {request.BuildReply(), request.BuildReply(-3),
        UserRecordCreateRequest(parsed("{}")).BuildReply(),
        UserRecordUpdateRequest(parsed("{}")).BuildReply(-13),
        TradeTransInfoRequest(parsed(R"({"comment": "line1\nline2"})")).BuildReply()}) {
    EXPECT_TRUE(endsInOneLineFeed(text)) << text;
  }
}

TEST(ReplyRecord, CreateAndUpdateEchoTheirFields) {
  const UserRecordCreateRequest create(parsed(
      "{\"name\": \"\xD0\x86\xD0\xB2\xD0\xB0\xD0\xBD\", \"login\": -1, \"agent\": 3, \"leverage\": 50,"
      " \"masterPass\": \"M\", \"investorPass\": \"I\", \"valid\": 1, \"routeType\": \"rt\"}"));
  EXPECT_EQ(create.BuildReply(),
            "{\"code\":200,\"data\":{\"addressLine\":\"\",\"agent\":3,\"city\":\"\",\"comment\":\"\","
            "\"country\":\"\",\"email\":\"\",\"group\":\"\",\"id\":\"\",\"investorPass\":\"I\","
            "\"leadSource\":\"\",\"leverage\":50,\"login\":18446744073709551615,\"masterPass\":\"M\","
            "\"name\":\"\\u0406\\u0432\\u0430\\u043d\",\"phone\":\"\",\"postalCode\":\"\","
            "\"routeType\":\"rt\",\"serial\":\"\",\"town\":\"\",\"valid\":1},\"msg\":\"success\"}\n");

  const UserRecordUpdateRequest update(parsed(R"({"serial": "u", "login": 7, "groupType": 2, "comment": "q\"b"})"));
  EXPECT_EQ(update.BuildReply(-13),
            "{\"code\":-13,\"data\":{\"addressLine\":\"\",\"agent\":0,\"city\":\"\",\"comment\":\"q\\\"b\","
            "\"country\":\"\",\"email\":\"\",\"group\":\"\",\"groupType\":2,\"id\":\"\",\"leverage\":0,"
            "\"login\":7,\"name\":\"\",\"phone\":\"\",\"postalCode\":\"\",\"routeType\":\"\","
            "\"serial\":\"u\",\"town\":\"\",\"valid\":0},\"msg\":\"fail\"}\n");
}

// The reply texts the four request records write.
#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>

#include "messages/PasswordUpdateRequest.h"
#include "messages/ReplyText.h"
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
  return text.size() >= 2 && text.back() == '\n' && text[text.size() - 2] != '\n' && text.find('\n') == text.size() - 1;
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
  const PasswordUpdateRequest request(
      parsed(R"({"serial": "a", "login": 5, "masterPass": "m", "newPass": "n", "type": 1})"));
  EXPECT_EQ(request.BuildReply(), request.BuildReply(200, ""));
  EXPECT_EQ(request.BuildReply(),
            "{\"code\":200,\"data\":{\"login\":5,\"masterPass\":\"m\",\"newPass\":\"n\","
            "\"routeType\":\"\",\"serial\":\"a\",\"type\":1},\"msg\":\"success\"}\n");
  EXPECT_NE(request.BuildReply(201).find("\"code\":201,"), std::string::npos);
  EXPECT_NE(request.BuildReply(201).find("\"msg\":\"fail\""), std::string::npos);
  EXPECT_NE(request.BuildReply(-1000, "no money").find("\"msg\":\"no money\""), std::string::npos);
  EXPECT_NE(request.BuildReply(200, "custom").find("\"msg\":\"custom\""), std::string::npos);

  for (const std::string& text :
       {request.BuildReply(), request.BuildReply(-3), UserRecordCreateRequest(parsed("{}")).BuildReply(),
        UserRecordUpdateRequest(parsed("{}")).BuildReply(-13),
        TradeTransInfoRequest(parsed(R"({"comment": "line1\nline2"})")).BuildReply()}) {
    EXPECT_TRUE(endsInOneLineFeed(text)) << text;
  }
}

TEST(ReplyRecord, CreateAndUpdateEchoTheirFields) {
  const UserRecordCreateRequest create(
      parsed("{\"name\": \"\xD0\x86\xD0\xB2\xD0\xB0\xD0\xBD\", \"login\": -1, \"agent\": 3, \"leverage\": 50,"
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

// The reply writer against the JsonCpp writer, given the same reply built
// as a Json::Value: random codes, messages and members of every kind.
TEST(ReplyRecord, WriterGivesTheBytesOfTheJsonCppWriter) {
  std::mt19937_64 random(20240613);
  const auto randomText = [&random] {
    static const char kBytes[] = {'a',    'Z',    ' ',    '"',    '\\',   '/',    '\n',   '\t',
                                  '\x01', '\x7F', '\x80', '\xBF', '\xC3', '\xA9', '\xD0', '\xE2',
                                  '\x82', '\xAC', '\xF0', '\x9F', '\xFF', '\0'};
    std::string text(random() % 12, '\0');
    for (char& c : text) c = kBytes[random() % sizeof kBytes];
    return text;
  };
  const char* const keys[] = {"addressLine", "agent", "amount", "group", "groupType", "login", "order", "type"};
  int failures = 0;
  for (int i = 0; i < 3000 && failures < 5; ++i) {
    const auto code = static_cast<int32_t>(random() % 3 == 0 ? 200 : static_cast<int64_t>(random() % 4000) - 2000);
    const std::string message = random() % 2 ? randomText() : "";
    records::ReplyWriter writer(code);
    Json::Value data;
    for (const char* key : keys) {
      if (random() % 3 == 0) continue;
      switch (random() % 4) {
        case 0: {
          const std::string text = randomText();
          writer.text(key, text);
          data[key] = text;
          break;
        }
        case 1: {
          const auto value = static_cast<int64_t>(random()) >> (random() % 64);
          writer.integer(key, value);
          data[key] = Json::Value(static_cast<Json::Int64>(value));
          break;
        }
        case 2: {
          const uint64_t value = random() >> (random() % 64);
          writer.unsignedInteger(key, value);
          data[key] = Json::Value(static_cast<Json::UInt64>(value));
          break;
        }
        default: {
          const double value = static_cast<double>(static_cast<int64_t>(random() % 2000001) - 1000000) / 100.0;
          writer.real(key, value);
          data[key] = Json::Value(value);
        }
      }
    }
    if (data.empty()) continue;  // a reply always has data members
    Json::Value reply;
    reply["data"] = data;
    reply["code"] = Json::Value(static_cast<Json::Int>(code));
    reply["msg"] = message.empty() ? (code == 200 ? "success" : "fail") : message;
    const std::string expected = writeJson(reply);
    const std::string written = writer.finish(message);
    if (written != expected) {
      ++failures;
      ADD_FAILURE() << "written:  " << written << "JsonCpp: " << expected;
    }
  }

  records::ReplyWriter outOfOrder(200);
  outOfOrder.text("serial", "s");
  EXPECT_THROW(outOfOrder.text("login", "1"), std::logic_error);
  EXPECT_THROW(outOfOrder.text("serial", "again"), std::logic_error);
}

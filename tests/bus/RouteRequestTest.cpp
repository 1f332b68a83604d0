// The router: which texts reach an operation, which operation and which
// callback queue, with which correlation id. The manager is not started, so
// every operation that runs answers with code -1 ("no manager").
#include <gtest/gtest.h>
#include <json/json.h>

#include <string>

#include "bus/RouteRequest.h"
#include "support/Json.h"
#include "tests/bus/RecordingChannel.h"
#include "tests/support/TempWorkDir.h"

namespace {

ServiceConfig queueConfig() {
  ServiceConfig c;
  c.userRecordCreate = "q.create";
  c.userRecordUpdate = "q.update";
  c.userRecordPasswordUpdate = "q.password";
  c.tradeTransInfo = "q.trade";
  return c;
}

struct RouterFixture : ::testing::Test {
  TempWorkDir dir;
  ServiceConfig config = queueConfig();
  CManager manager;
  RecordingChannel create, update, password, trade;
  Routes routes{config, manager, create, update, password, trade};

  std::size_t total() const {
    return create.replies.size() + update.replies.size() + password.replies.size() + trade.replies.size();
  }
};

Json::Value parsed(const std::string& text) {
  Json::Value v;
  EXPECT_TRUE(parseJson(text, v)) << text;
  return v;
}

}  // namespace

TEST_F(RouterFixture, TextsThatAreNoJsonObjectAreDroppedWithoutReply) {
  for (const char* text :
       {"", "not json", "[1,2]", "[]", "17", "\"a string\"", "true", "null", "{\"a\":", "NOT A TEXTMESSAGE!"}) {
    for (const char* queue : {"q.create", "q.update", "q.password", "q.trade"}) {
      RouteRequest(routes, queue, text, "corr");
    }
  }
  EXPECT_EQ(total(), 0u);
}

TEST_F(RouterFixture, EachQueueReachesItsOperationAndItsCallbackChannel) {
  RouteRequest(routes, "q.create", R"({"serial":"c1","login":7})", "id-c");
  RouteRequest(routes, "q.update", R"({"serial":"u1","login":7})", "id-u");
  RouteRequest(routes, "q.password", R"({"serial":"p1","login":7,"type":2})", "id-p");
  RouteRequest(routes, "q.trade", R"({"serial":"t1","login":7,"amount":5,"type":1})", "id-t");

  ASSERT_EQ(create.replies.size(), 1u);
  ASSERT_EQ(update.replies.size(), 1u);
  ASSERT_EQ(password.replies.size(), 1u);
  ASSERT_EQ(trade.replies.size(), 1u);
  EXPECT_EQ(create.replies[0].correlationId, "id-c");
  EXPECT_EQ(update.replies[0].correlationId, "id-u");
  EXPECT_EQ(password.replies[0].correlationId, "id-p");
  EXPECT_EQ(trade.replies[0].correlationId, "id-t");

  // Each reply is the reply of its own record kind: the fields only that
  // kind carries tell them apart.
  const Json::Value c = parsed(create.replies[0].text);
  const Json::Value u = parsed(update.replies[0].text);
  const Json::Value p = parsed(password.replies[0].text);
  const Json::Value t = parsed(trade.replies[0].text);
  EXPECT_EQ(c["data"]["serial"].asString(), "c1");
  EXPECT_TRUE(c["data"].isMember("leadSource"));
  EXPECT_TRUE(u["data"].isMember("groupType"));
  EXPECT_TRUE(p["data"].isMember("newPass"));
  EXPECT_TRUE(t["data"].isMember("order"));
  for (const Json::Value* reply : {&c, &u, &p, &t}) {
    EXPECT_EQ((*reply)["code"].asInt(), -1);
    EXPECT_EQ((*reply)["msg"].asString(), "fail");
  }
  EXPECT_EQ(trade.replies[0].text,
            "{\"code\":-1,\"data\":{\"amount\":5.0,\"comment\":\"\",\"floating\":0.0,\"login\":7,\"order\":-1,"
            "\"routeType\":\"\",\"serial\":\"t1\",\"type\":1},\"msg\":\"fail\"}\n");
}

TEST_F(RouterFixture, QueueNamesMatchExactlyAndTheFirstEqualRowWins) {
  for (const char* queue : {"Q.TRADE", "q.Trade", "q.trade ", " q.trade", "q.trad", "q.trade.reply", ""}) {
    RouteRequest(routes, queue, R"({"login":1})", "x");
  }
  EXPECT_EQ(total(), 0u);

  // Two request keys naming one queue: the first row of the table answers.
  config.tradeTransInfo = "q.update";
  RouteRequest(routes, "q.update", R"({"serial":"s"})", "dup");
  EXPECT_EQ(update.replies.size(), 1u);
  EXPECT_EQ(trade.replies.size(), 0u);
}

TEST_F(RouterFixture, ErrorsWhileReadingTheRequestPassToTheCallerWithoutReply) {
  EXPECT_THROW(RouteRequest(routes, "q.trade", R"({"login":"1001"})", "x"), Json::LogicError);
  EXPECT_THROW(RouteRequest(routes, "q.create", R"({"leverage":3000000000})", "x"), Json::LogicError);
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_THROW(RouteRequest(routes, "q.trade", deep, "x"), Json::Exception);
  EXPECT_EQ(total(), 0u);
}

TEST_F(RouterFixture, AnEmptyCorrelationIdIsHandedOnAsItIs) {
  RouteRequest(routes, "q.trade", "{}", "");
  ASSERT_EQ(trade.replies.size(), 1u);
  EXPECT_EQ(trade.replies[0].correlationId, "");
}

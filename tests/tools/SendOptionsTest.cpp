// mqbridge-send's command line and kinds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/SendOptions.h"
#include "tools/SendRequest.h"

TEST(SendOptions, ReadsOptionsKindAndJson) {
  const SendOptions o = parseSendOptions({"--config", "/etc/x.ini", "--timeout", "2.5", "trade", "{\"a\":1}"});
  EXPECT_EQ(o.configPath, "/etc/x.ini");
  EXPECT_DOUBLE_EQ(o.timeoutSeconds, 2.5);
  EXPECT_EQ(o.kind, RequestKind::Trade);
  ASSERT_TRUE(o.json.has_value());
  EXPECT_EQ(*o.json, "{\"a\":1}");

  const SendOptions d = parseSendOptions({"password"});
  EXPECT_EQ(d.configPath, "config.ini");
  EXPECT_DOUBLE_EQ(d.timeoutSeconds, 30.0);
  EXPECT_EQ(d.kind, RequestKind::Password);
  EXPECT_FALSE(d.json.has_value());  // read from standard input

  EXPECT_TRUE(parseSendOptions({"--help"}).help);
  EXPECT_TRUE(parseSendOptions({"bogus", "--help"}).help);
}

TEST(SendOptions, RefusesWhatItCannotUse) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"deposit"},
      {"Trade"},
      {"trade", "{}", "extra"},
      {"--timeout", "0", "trade"},
      {"--timeout", "-3", "trade"},
      {"--timeout", "soon", "trade"},
      {"--timeout", "nan", "trade"},
      {"--timeout"},
      {"--config"},
      {"--verbose", "trade"},
  };
  for (const auto& args : bad) EXPECT_THROW(parseSendOptions(args), UsageError) << ::testing::PrintToString(args);
}

TEST(SendOptions, EachKindUsesItsOwnQueuePair) {
  ServiceConfig c;
  c.userRecordCreate = "a";
  c.userRecordCreateCallback = "a.r";
  c.userRecordUpdate = "b";
  c.userRecordUpdateCallback = "b.r";
  c.userRecordPasswordUpdate = "c";
  c.userRecordPasswordUpdateCallback = "c.r";
  c.tradeTransInfo = "d";
  c.tradeTransInfoCallback = "d.r";
  const std::pair<const char*, std::pair<const char*, const char*>> expected[] = {
      {"create", {"a", "a.r"}}, {"update", {"b", "b.r"}}, {"password", {"c", "c.r"}}, {"trade", {"d", "d.r"}}};
  for (const auto& [name, queues] : expected) {
    const KindQueues q = queuesOf(c, *kindFromName(name));
    EXPECT_EQ(q.request, queues.first) << name;
    EXPECT_EQ(q.callback, queues.second) << name;
  }
}

TEST(SendRequest, CorrelationIdsAreFreshAndSafeInASelector) {
  const std::string a = freshCorrelationId();
  const std::string b = freshCorrelationId();
  EXPECT_NE(a, b);
  EXPECT_EQ(a.size(), std::string("mqbridge-send-").size() + 32);
  EXPECT_EQ(a.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-"), std::string::npos) << a;
}

TEST(SendRequest, ReplyCodeIsReadFromTheReplyObject) {
  long long code = 0;
  EXPECT_TRUE(replyCode("{\"code\":200,\"data\":{},\"msg\":\"success\"}\n", code));
  EXPECT_EQ(code, 200);
  EXPECT_TRUE(replyCode("{\"code\":-1000}", code));
  EXPECT_EQ(code, -1000);
  EXPECT_FALSE(replyCode("{\"code\":\"200\"}", code));
  EXPECT_FALSE(replyCode("[200]", code));
  EXPECT_FALSE(replyCode("", code));
  EXPECT_FALSE(replyCode(std::string(100000, '['), code));
}

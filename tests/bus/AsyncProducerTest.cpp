// The producer's failure paths without a broker.
#include <gtest/gtest.h>

#include <string>

#include "bus/AsyncProducer.h"
#include "tests/bus/LogFiles.h"

TEST(AsyncProducer, InitFailureGivesMinusOneAndTheLogLine) {
  TempWorkDir dir;
  ServiceConfig config;
  AsyncProducer producer(config);
  producer.configure("bogus://x", "replies.one", false, false);
  testing::internal::CaptureStderr();
  EXPECT_EQ(producer.init(), -1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Producer replies.one: "), std::string::npos);
  EXPECT_FALSE(producer.ready());
  EXPECT_NE(allLogs(dir).find(" Producer destURI:replies.one init fail\n"), std::string::npos);
  producer.close();
  producer.close();
}

TEST(AsyncProducer, AReplyThatCannotGoIsLoggedWholeAndMaskedThenRaised) {
  TempWorkDir dir;
  ServiceConfig config;
  AsyncProducer producer(config);
  producer.configure("tcp://127.0.0.1:1", "replies.two", false, false);
  const std::string reply =
      "{\"code\":200,\"data\":{\"masterPass\":\"Hidden1\",\"newPass\":\"Hidden2\",\"serial\":\"s-7\"},"
      "\"msg\":\"success\"}\n";
  EXPECT_THROW(producer.sendReply(reply, "corr"), stomp::Error);
  EXPECT_THROW(producer.send(reply), stomp::Error);
  const std::string log = allLogs(dir);
  const std::string masked =
      "{\"code\":200,\"data\":{\"masterPass\":\"***\",\"newPass\":\"***\",\"serial\":\"s-7\"},"
      "\"msg\":\"success\"}\n";
  EXPECT_NE(log.find(" DestURI:replies.two,Send failed: " + masked), std::string::npos) << log;
  EXPECT_EQ(log.find("Hidden"), std::string::npos);
  EXPECT_EQ(log.find(",Send: "), std::string::npos);  // nothing claims it was sent
}

// The consumer's message callback without a broker: what it shows and logs,
// what it hands on, and how it contains a failing request.
#include <gtest/gtest.h>
#include <json/json.h>

#include <new>
#include <string>
#include <vector>

#include "bus/AsyncConsumer.h"
#include "tests/bus/LogFiles.h"

namespace {

struct Call {
  std::string queue, text, correlationId;
};

stomp::Message textMessage(std::string body, stomp::Headers headers) {
  return stomp::Message(std::move(body), std::move(headers));
}

}  // namespace

TEST(AsyncConsumer, ShowsLogsAndHandsOnTheTextWithTheReplyCorrelationId) {
  TempWorkDir dir;
  ServiceConfig config;
  InFlight inFlight;
  std::vector<Call> calls;
  AsyncConsumer consumer(config, inFlight, [&](const Delivery& d) {
    calls.push_back({d.queue, d.text, d.correlationId});
    return Settlement::acknowledge();
  });
  consumer.configure("tcp://127.0.0.1:1", "in.queue", false, false);

  const std::string request = R"({"login":5,"masterPass":"Top$ecret","newPass":"N3w"})";
  testing::internal::CaptureStdout();
  consumer.onMessage(textMessage(request, {{"message-id", "ID:m-1"}, {"correlation-id", "corr-9"}}));
  consumer.onMessage(textMessage("{}", {{"message-id", "ID:m-2"}}));
  // A body with content-length and no text type is a bytes message.
  consumer.onMessage(textMessage("bytes", {{"message-id", "ID:m-3"}, {"content-length", "5"}}));
  consumer.onMessage(textMessage("", {{"message-id", "ID:m-4"}}));
  const std::string console = testing::internal::GetCapturedStdout();

  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].queue, "in.queue");
  EXPECT_EQ(calls[0].text, request);  // the router gets the text unmasked
  EXPECT_EQ(calls[0].correlationId, "corr-9");
  EXPECT_EQ(calls[1].correlationId, "ID:m-2");  // no correlation-id: the message id
  EXPECT_EQ(calls[2].text, "NOT A TEXTMESSAGE!");
  EXPECT_EQ(calls[3].text, "");

  const std::string masked = R"({"login":5,"masterPass":"***","newPass":"***"})";
  EXPECT_EQ(console, "destURI #in.queue Received: " + masked + "\n" +
                         "destURI #in.queue Received: {}\n"
                         "destURI #in.queue Received: NOT A TEXTMESSAGE!\n"
                         "destURI #in.queue Received: \n");
  const std::string log = allLogs(dir);
  EXPECT_NE(log.find(" destURI #in.queue Received: " + masked + "\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("Top$ecret"), std::string::npos);
  EXPECT_EQ(log.find("N3w"), std::string::npos);
}

TEST(AsyncConsumer, AFailingRequestIsReportedAndTheNextOneStillHandled) {
  TempWorkDir dir;
  ServiceConfig config;
  InFlight inFlight;
  int handled = 0;
  int attempt = 0;
  AsyncConsumer consumer(config, inFlight, [&](const Delivery&) -> Settlement {
    switch (attempt++) {
      case 0:
        throw Json::LogicError("Value is not convertible to Int64.");
      case 1:
        throw std::bad_alloc();
      case 2:
        throw stomp::TimeoutError("no RECEIPT within 10000 ms");
      case 3:
        throw 42;  // not even an exception class
      default:
        ++handled;
        return Settlement::acknowledge();
    }
  });
  consumer.configure("tcp://127.0.0.1:1", "q", false, false);

  testing::internal::CaptureStdout();
  for (int i = 0; i < 5; ++i) {
    EXPECT_NO_THROW(consumer.onMessage(textMessage("{}", {{"message-id", "m-" + std::to_string(i)}})));
  }
  const std::string console = testing::internal::GetCapturedStdout();

  EXPECT_EQ(handled, 1);
  EXPECT_NE(console.find("destURI #q Request failed: Value is not convertible to Int64.\n"), std::string::npos)
      << console;
  EXPECT_NE(console.find("destURI #q Request failed: std::bad_alloc\n"), std::string::npos);
  EXPECT_NE(console.find("destURI #q Request failed: no RECEIPT within 10000 ms\n"), std::string::npos);
  EXPECT_NE(console.find("destURI #q Request failed: unknown error\n"), std::string::npos);

  const std::string log = allLogs(dir);
  EXPECT_NE(log.find("destURI #q Request failed: Value is not convertible to Int64.\n"), std::string::npos);
  EXPECT_NE(log.find("destURI #q Request failed: std::bad_alloc\n"), std::string::npos);
}

TEST(AsyncConsumer, CloseWithoutStartAndTwiceDoesNothing) {
  ServiceConfig config;
  InFlight inFlight;
  AsyncConsumer consumer(config, inFlight, nullptr);
  EXPECT_FALSE(consumer.listening());
  consumer.close();
  consumer.configure("tcp://127.0.0.1:1", "q", false, false);
  consumer.close();
  consumer.close();
  EXPECT_FALSE(consumer.listening());
}

TEST(AsyncConsumer, StartFailureIsReportedAndLogged) {
  TempWorkDir dir;
  ServiceConfig config;
  InFlight inFlight;
  AsyncConsumer consumer(config, inFlight, nullptr);
  consumer.configure("not a uri", "q.one", false, false);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(consumer.start());
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Consumer q.one: "), std::string::npos) << err;
  const std::string log = allLogs(dir);
  EXPECT_NE(log.find("Consumer destURI:q.one start fail\n"), std::string::npos);
  consumer.close();

  consumer.configure("tcp://127.0.0.1:1", "q.two", false, true);  // transacted is refused
  testing::internal::CaptureStderr();
  EXPECT_FALSE(consumer.start());
  EXPECT_NE(testing::internal::GetCapturedStderr().find("transacted"), std::string::npos);
}

TEST(AsyncConsumer, HandsOnWhatTheJournalNeedsAndAcknowledgesOnlyWhatTheHandlerAllows) {
  TempWorkDir dir;
  ServiceConfig config;
  InFlight inFlight;
  std::vector<Delivery> seen;
  std::vector<std::string> acknowledged;
  AsyncConsumer::ReplyLedger ledger;
  ledger.acknowledged = [&](const std::string&, const std::string& id) { acknowledged.push_back(id); };
  AsyncConsumer consumer(
      config, inFlight,
      [&](const Delivery& d) {
        seen.push_back(d);
        // e.g. stopping: left for the broker to deliver again
        return d.messageId != "ID:keep" ? Settlement::acknowledge() : Settlement::leave();
      },
      {}, ledger);
  consumer.configure("tcp://127.0.0.1:1", "money", false, false);

  testing::internal::CaptureStdout();
  consumer.onMessage(textMessage("{\"n\":1}", {{"message-id", "ID:a"}, {"timestamp", "1765000000123"}}));
  consumer.onMessage(textMessage("{\"n\":1}", {{"message-id", "ID:a"}, {"redelivered", "true"}}));
  consumer.onMessage(textMessage("{\"n\":2}", {{"message-id", "ID:keep"}, {"timestamp", "not a number"}}));
  testing::internal::GetCapturedStdout();

  ASSERT_EQ(seen.size(), 3u);
  EXPECT_FALSE(seen[0].redelivered);
  EXPECT_EQ(seen[0].timestampMs, 1765000000123);
  // Every delivery is handed on, a redelivery too: the journal decides.
  EXPECT_TRUE(seen[1].redelivered);
  EXPECT_EQ(seen[1].timestampMs, 0);
  EXPECT_EQ(seen[2].timestampMs, 0);
  EXPECT_EQ(acknowledged, (std::vector<std::string>{"ID:a", "ID:a"}));
}

// Consumers and producers against a real ActiveMQ broker: persistent
// correlated replies, acknowledgement after handling, an orderly close that
// lets the request in progress finish and loses nothing, credentials.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <algorithm>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bus/AsyncConsumer.h"
#include "bus/AsyncProducer.h"
#include "tests/bus/LogFiles.h"
#include "tests/common/TestBroker.h"

using namespace std::chrono_literals;
using mqb::test::TestBroker;

namespace {

// Messages a plain client received, waited for with a bound.
class Inbox {
 public:
  stomp::MessageListener listener() {
    return [this](const stomp::Message& m) {
      std::lock_guard<std::mutex> lock(mutex_);
      messages_.push_back(m);
      changed_.notify_all();
    };
  }
  bool waitFor(std::size_t n, std::chrono::milliseconds bound = 15s) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, bound, [&] { return messages_.size() >= n; });
  }
  std::vector<stomp::Message> messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<stomp::Message> messages_;
};

class BusBroker : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { broker_ = std::make_unique<TestBroker>("bus"); }
  static void TearDownTestSuite() { broker_.reset(); }
  static TestBroker& broker() { return *broker_; }
  static std::unique_ptr<TestBroker> broker_;
  TempWorkDir dir;
};
std::unique_ptr<TestBroker> BusBroker::broker_;

}  // namespace

TEST_F(BusBroker, ProducerSendsPersistentCorrelatedTextAndLogsIt) {
  ServiceConfig config;
  AsyncProducer producer(config);
  producer.configure(broker().stompUri(), "bus.replies", false, false);
  ASSERT_EQ(producer.init(), 1);
  producer.sendReply("{\"code\":200,\"data\":{\"newPass\":\"S3cret!\"},\"msg\":\"success\"}\n", "corr-42");
  producer.send("");  // an empty reply is still one message

  stomp::Connection reader(broker().stompUri());
  Inbox inbox;
  reader.start();
  reader.subscribe(stomp::Destination::queue("bus.replies"), inbox.listener(), stomp::AckMode::AfterCallback);
  ASSERT_TRUE(inbox.waitFor(2));
  const auto got = inbox.messages();
  EXPECT_EQ(got[0].body(), "{\"code\":200,\"data\":{\"newPass\":\"S3cret!\"},\"msg\":\"success\"}\n");
  EXPECT_TRUE(got[0].isText());
  EXPECT_EQ(got[0].correlationId(), "corr-42");
  EXPECT_EQ(got[0].header("persistent").value_or(""), "true");
  EXPECT_EQ(got[1].body(), "");
  EXPECT_EQ(got[1].correlationId(), "");
  reader.close();

  producer.close();
  producer.close();
  const std::string log = allLogs(dir);
  EXPECT_NE(log.find(" DestURI:bus.replies,Send: {\"code\":200,\"data\":{\"newPass\":\"***\"},\"msg\":\"success\"}\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(" DestURI:bus.replies,Send: \n"), std::string::npos);
  EXPECT_EQ(log.find("S3cret"), std::string::npos);
}

TEST_F(BusBroker, CloseLetsTheRequestInProgressFinishAndLeavesTheRestQueued) {
  const std::string queue = "bus.requests.close";
  {
    stomp::Connection writer(broker().stompUri());
    writer.start();
    for (int i = 0; i < 5; ++i)
      writer.send(stomp::Destination::queue(queue), stomp::OutgoingMessage("{\"n\":" + std::to_string(i) + "}"));
    writer.close();
  }

  ServiceConfig config;
  config.requestWindow = 2;
  InFlight inFlight;
  std::mutex mutex;
  std::condition_variable started;
  std::atomic<int> begun{0}, finished{0};
  AsyncConsumer consumer(config, inFlight, [&](const Delivery& d) {
    EXPECT_EQ(d.queue, queue);
    EXPECT_FALSE(d.correlationId.empty());  // the message id at least
    {
      std::lock_guard<std::mutex> lock(mutex);
      ++begun;
      started.notify_all();
    }
    std::this_thread::sleep_for(300ms);
    ++finished;
    return Settlement::acknowledge();
  });
  consumer.configure(broker().stompUri(), queue, false, false);
  testing::internal::CaptureStdout();
  ASSERT_TRUE(consumer.start());
  EXPECT_TRUE(consumer.listening());
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(started.wait_for(lock, 15s, [&] { return begun.load() >= 1; }));
  }
  consumer.close();
  testing::internal::GetCapturedStdout();
  const int handled = finished.load();
  EXPECT_EQ(begun.load(), handled);  // nothing was cut short
  EXPECT_GE(handled, 1);
  EXPECT_FALSE(consumer.listening());
  consumer.close();

  // What was handled is acknowledged; everything else is still there.
  stomp::Connection reader(broker().stompUri());
  Inbox inbox;
  reader.start();
  reader.subscribe(stomp::Destination::queue(queue), inbox.listener(), stomp::AckMode::AfterCallback);
  const std::size_t rest = static_cast<std::size_t>(5 - handled);
  EXPECT_TRUE(inbox.waitFor(rest));
  std::this_thread::sleep_for(500ms);
  const auto got = inbox.messages();
  ASSERT_EQ(got.size(), rest);
  EXPECT_EQ(got.back().body(), "{\"n\":4}");
  // At most the window comes back marked redelivered, not a whole
  // prefetched batch.
  int marked = 0;
  for (const auto& m : got) marked += m.redelivered() ? 1 : 0;
  EXPECT_LE(marked, 2);
  reader.close();
}

TEST_F(BusBroker, RepliesAreConfirmedInBatchesAndEachRequestAcknowledgedOnlyAfterItsReplyIsRecorded) {
  const std::string queue = "bus.requests.window", replies = "bus.replies.window";
  constexpr int kRequests = 40;
  {
    stomp::Connection writer(broker().stompUri());
    writer.start();
    for (int i = 0; i < kRequests; ++i)
      writer.send(stomp::Destination::queue(queue), stomp::OutgoingMessage("{\"n\":" + std::to_string(i) + "}"));
    writer.close();
  }
  ServiceConfig config;
  config.requestWindow = 16;
  InFlight inFlight;
  AsyncProducer producer(config);
  producer.configure(broker().stompUri(), replies, false, false);
  ASSERT_EQ(producer.init(), 1);

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> order, recorded, acknowledged;  // message ids
  std::size_t largestBatch = 0;
  AsyncConsumer::ReplyLedger ledger;
  ledger.confirmed = [&](const std::string&, const ReplyConfirmer::Batch& batch, std::function<void(bool)> done) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      largestBatch = std::max(largestBatch, batch.size());
      for (const auto& item : batch) recorded.push_back(item.messageId);
    }
    // Recorded later, on another thread, as the journal does.
    std::thread([done] {
      std::this_thread::sleep_for(5ms);
      done(true);
    }).detach();
  };
  ledger.acknowledged = [&](const std::string&, const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_NE(std::find(recorded.begin(), recorded.end(), id), recorded.end()) << id << " acknowledged unrecorded";
    acknowledged.push_back(id);
    changed.notify_all();
  };
  // The first reply's confirmation waits until five requests were handled:
  // the replies ready meanwhile must then go together.
  struct HeldFirst : ReplyChannel {
    AsyncProducer& to;
    std::function<void()> holdFirst;
    bool first = true;
    std::thread held;
    HeldFirst(AsyncProducer& p, std::function<void()> hold) : to(p), holdFirst(std::move(hold)) {}
    ~HeldFirst() {
      if (held.joinable()) held.join();
    }
    void sendReply(std::string text, const std::string& corr) override { to.sendReply(std::move(text), corr); }
    void sendRepliesAsync(const std::vector<OutgoingReply>& replies, SentCallback done) override {
      if (!std::exchange(first, false)) return to.sendRepliesAsync(replies, std::move(done));
      held = std::thread([this, replies, done = std::move(done)]() mutable {
        holdFirst();
        to.sendRepliesAsync(replies, std::move(done));
      });
    }
    const std::string& destination() const override { return to.destination(); }
  } channel(producer, [&] {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, 10s, [&] { return order.size() >= 5; });
  });
  AsyncConsumer consumer(
      config, inFlight,
      [&](const Delivery& d) {
        std::lock_guard<std::mutex> lock(mutex);
        order.push_back(d.text);
        changed.notify_all();
        return Settlement::confirm("re " + d.text, channel);
      },
      {}, ledger);
  consumer.configure(broker().stompUri(), queue, false, false);
  testing::internal::CaptureStdout();
  ASSERT_TRUE(consumer.start());
  {
    std::unique_lock<std::mutex> lock(mutex);
    EXPECT_TRUE(changed.wait_for(lock, 30s, [&] { return acknowledged.size() >= kRequests; }));
  }
  EXPECT_TRUE(consumer.drain(std::chrono::steady_clock::now() + 5s));
  consumer.close();
  testing::internal::GetCapturedStdout();
  producer.close();

  // Carried out in arrival order, one at a time; replies went in batches.
  ASSERT_EQ(order.size(), static_cast<std::size_t>(kRequests));
  for (int i = 0; i < kRequests; ++i) EXPECT_EQ(order[i], "{\"n\":" + std::to_string(i) + "}");
  EXPECT_GT(largestBatch, 1u) << "replies ready while a batch was confirmed did not go together";
  // Every reply arrived once, and no request is left on its queue.
  stomp::Connection reader(broker().stompUri());
  Inbox got, left;
  reader.start();
  reader.subscribe(stomp::Destination::queue(replies), got.listener(), stomp::AckMode::AfterCallback);
  reader.subscribe(stomp::Destination::queue(queue), left.listener(), stomp::AckMode::AfterCallback);
  EXPECT_TRUE(got.waitFor(kRequests));
  std::this_thread::sleep_for(500ms);
  std::set<std::string> bodies;
  for (const auto& m : got.messages()) bodies.insert(m.body());
  EXPECT_EQ(got.messages().size(), static_cast<std::size_t>(kRequests));
  EXPECT_EQ(bodies.size(), static_cast<std::size_t>(kRequests));
  EXPECT_TRUE(left.messages().empty()) << left.messages().size() << " requests were not acknowledged";
  reader.close();
}

TEST_F(BusBroker, ASuspendedConsumerGivesWhatItHoldsToAnotherReaderAndTakesRequestsAgainOnResume) {
  const std::string queue = "bus.requests.suspend";
  auto sendRequests = [&](int from, int to) {
    stomp::Connection writer(broker().stompUri());
    writer.start();
    for (int i = from; i < to; ++i)
      writer.send(stomp::Destination::queue(queue), stomp::OutgoingMessage("{\"n\":" + std::to_string(i) + "}"));
    writer.close();
  };
  sendRequests(0, 6);
  ServiceConfig config;
  config.requestWindow = 4;
  InFlight inFlight;
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> handled;
  bool release = false;
  AsyncConsumer consumer(config, inFlight, [&](const Delivery& d) {
    std::unique_lock<std::mutex> lock(mutex);
    handled.push_back(d.text);
    changed.notify_all();
    // The first request is held, as one whose journal cannot record it.
    if (handled.size() == 1) changed.wait_for(lock, 30s, [&] { return release; });
    return Settlement::acknowledge();
  });
  consumer.configure(broker().stompUri(), queue, false, false);
  testing::internal::CaptureStdout();
  ASSERT_TRUE(consumer.start());
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 15s, [&] { return !handled.empty(); }));
  }
  consumer.suspend();
  EXPECT_TRUE(consumer.suspended());

  // Everything, the held request and those waiting behind it included,
  // goes to the other reader.
  {
    stomp::Connection other(broker().stompUri());
    Inbox got;
    other.start();
    other.subscribe(stomp::Destination::queue(queue), got.listener(), stomp::AckMode::AfterCallback);
    EXPECT_TRUE(got.waitFor(6));
    std::set<std::string> bodies;
    for (const auto& m : got.messages()) bodies.insert(m.body());
    EXPECT_EQ(bodies.size(), 6u);
    // The held request ends now: its acknowledgement must not go out (the
    // broker would answer an ERROR that ends the connection), and what
    // the consumer had queued behind it is not handled.
    {
      std::lock_guard<std::mutex> lock(mutex);
      release = true;
      changed.notify_all();
    }
    std::this_thread::sleep_for(500ms);
    other.close();
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(handled.size(), 1u);
  }
  EXPECT_TRUE(consumer.listening());

  // Subscribed again, on the same connection: new requests are taken.
  sendRequests(6, 8);
  ASSERT_TRUE(consumer.resume());
  EXPECT_FALSE(consumer.suspended());
  {
    std::unique_lock<std::mutex> lock(mutex);
    EXPECT_TRUE(changed.wait_for(lock, 15s, [&] { return handled.size() >= 3; }));
  }
  std::this_thread::sleep_for(300ms);
  consumer.close();
  testing::internal::GetCapturedStdout();
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(handled, (std::vector<std::string>{"{\"n\":0}", "{\"n\":6}", "{\"n\":7}"}));
  }
  stomp::Connection reader(broker().stompUri());
  Inbox left;
  reader.start();
  reader.subscribe(stomp::Destination::queue(queue), left.listener(), stomp::AckMode::AfterCallback);
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(left.messages().empty()) << left.messages().size() << " requests left on the queue";
  reader.close();
}

TEST(BusCredentials, CredentialsAreUsedOnlyWhenBothAreSet) {
  TempWorkDir dir;
  TestBroker secured("bus-auth", {"svc-user", "svc-pass"});
  ServiceConfig both;
  both.activeMqName = "svc-user";
  both.activeMqPassword = "svc-pass";
  ServiceConfig nameOnly;
  nameOnly.activeMqName = "svc-user";
  ServiceConfig passwordOnly;
  passwordOnly.activeMqPassword = "svc-pass";

  testing::internal::CaptureStderr();
  AsyncProducer good(both);
  good.configure(secured.stompUri(), "auth.replies", false, false);
  EXPECT_EQ(good.init(), 1);
  InFlight inFlight;
  AsyncConsumer listening(both, inFlight, nullptr);
  listening.configure(secured.stompUri(), "auth.requests", false, false);
  EXPECT_TRUE(listening.start());

  // With one of the two missing the connection goes without any, which
  // this broker refuses.
  for (const ServiceConfig* half : {&nameOnly, &passwordOnly}) {
    AsyncProducer producer(*half);
    producer.configure(secured.stompUri(), "auth.replies", false, false);
    EXPECT_EQ(producer.init(), -1);
    AsyncConsumer consumer(*half, inFlight, nullptr);
    consumer.configure(secured.stompUri(), "auth.requests", false, false);
    EXPECT_FALSE(consumer.start());
  }
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.find("svc-pass"), std::string::npos) << err;
  listening.close();
  good.close();
}

TEST(BusBrokerLoss, AProducerWhoseConnectionIsLostForGoodReportsItAndAClosedOneDoesNot) {
  TempWorkDir dir;
  TestBroker broker("bus-lost");
  ServiceConfig config;
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> lost;
  auto record = [&](const char* who) {
    return [&, who](const stomp::Error& e) {
      std::lock_guard<std::mutex> lock(mutex);
      lost.push_back(std::string(who) + ": " + e.what());
      changed.notify_all();
    };
  };
  AsyncProducer closed(config, record("closed"));
  closed.configure(broker.stompUri(), "bus.lost.one", false, false);
  ASSERT_EQ(closed.init(), 1);
  closed.close();

  AsyncProducer producer(config, record("open"));
  producer.configure(broker.stompUri(), "bus.lost.two", false, false);
  ASSERT_EQ(producer.init(), 1);
  broker.kill();
  std::unique_lock<std::mutex> lock(mutex);
  ASSERT_TRUE(changed.wait_for(lock, 20s, [&] { return !lost.empty(); })) << "the lost reply connection went unnoticed";
  EXPECT_EQ(lost.size(), 1u);
  EXPECT_EQ(lost[0].rfind("open: ", 0), 0u) << lost[0];
  lock.unlock();
  producer.close();
}

// Losing the broker: failover with reconnection and restored subscriptions,
// and the exception listener when there is no failover.
#include "Received.h"
#include "stomp/Client.h"
#include "tests/common/TestBroker.h"

#include <gtest/gtest.h>

#include <set>

using namespace std::chrono_literals;
using mqb::test::TestBroker;
using stomp::AckMode;
using stomp::Connection;
using stomp::Destination;
using stomp::OutgoingMessage;
using stomp::test::Received;
using stomp::test::Signal;

TEST(BrokerFailover, KilledAndRestartedBrokerLosesNothingSentAfterwards) {
  TestBroker broker("stomp-failover");
  const std::string uri = "failover:(" + broker.stompUri() + ")?initialReconnectDelay=100&maxReconnectDelay=1000";
  stomp::ConnectionOptions o;
  o.connectTimeout = 5s;
  o.receiptTimeout = 60s;
  o.heartBeatSend = o.heartBeatReceive = 1000ms;

  Signal consumerDown, consumerUp, producerDown, producerUp, exception;
  Connection consumer(uri, o);
  consumer.setTransportListener({[&] { consumerDown.set(); }, [&] { consumerUp.set(); }});
  consumer.setExceptionListener([&](const stomp::Error& e) { exception.set(e.what()); });
  Connection producer(uri, o);
  producer.setTransportListener({[&] { producerDown.set(); }, [&] { producerUp.set(); }});
  consumer.start();
  producer.start();

  const auto q = Destination::queue("orders");
  Received got;
  consumer.subscribe(q, got.listener(), AckMode::AfterCallback);
  producer.send(q, OutgoingMessage("before"));
  auto before = got.next();
  ASSERT_TRUE(before);
  EXPECT_EQ(before->body(), "before");

  broker.kill();
  ASSERT_TRUE(consumerDown.waitFor()) << "consumer not told of the interruption";
  ASSERT_TRUE(producerDown.waitFor()) << "producer not told of the interruption";
  EXPECT_FALSE(consumer.isConnected());

  // A send while the broker is away waits for the connection to come back.
  auto during = producer.sendAsync(q, OutgoingMessage("during"));
  EXPECT_EQ(during.wait_for(500ms), std::future_status::timeout);

  broker.restart();
  ASSERT_TRUE(consumerUp.waitFor(1, 60s)) << "consumer not restored";
  ASSERT_TRUE(producerUp.waitFor(1, 60s)) << "producer not restored";
  EXPECT_NO_THROW(during.get());

  std::set<std::string> expected{"during"};
  for (int i = 0; i < 50; ++i) {
    std::string body = "after-" + std::to_string(i);
    producer.send(q, OutgoingMessage(body));
    expected.insert(body);
  }
  std::set<std::string> seen;
  while (seen.size() < expected.size()) {
    auto m = got.next(20s);
    ASSERT_TRUE(m) << "missing " << expected.size() - seen.size() << " messages after the restart";
    // The ACK of "before" may have died with the broker, so it may come
    // again (unmarked: a crashed broker forgets the delivery count).
    if (m->body() == "before") continue;
    EXPECT_TRUE(seen.insert(m->body()).second) << "duplicate " << m->body();
  }
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(exception.count(), 0) << exception.text();
  EXPECT_EQ(consumerDown.count(), 1);
  EXPECT_EQ(consumerUp.count(), 1);
}

TEST(BrokerFailover, WithoutFailoverTheExceptionListenerFires) {
  TestBroker broker("stomp-lost");
  stomp::ConnectionOptions o;
  o.connectTimeout = 5s;
  Connection c(broker.stompUri(), o);
  Signal lost;
  std::string kind;
  c.setExceptionListener([&](const stomp::Error& e) {
    kind = dynamic_cast<const stomp::ConnectionLostError*>(&e) ? "lost" : "other";
    lost.set(e.what());
  });
  Signal interrupted;
  c.setTransportListener({[&] { interrupted.set(); }, nullptr});
  c.start();
  Received got;
  c.subscribe(Destination::queue("q"), got.listener(), AckMode::AfterCallback);

  broker.kill();
  ASSERT_TRUE(lost.waitFor(1, 15s)) << "the exception listener did not fire";
  EXPECT_EQ(kind, "lost");
  EXPECT_NE(lost.text().find(broker.stompUri()), std::string::npos) << lost.text();
  EXPECT_FALSE(c.isConnected());
  EXPECT_EQ(interrupted.count(), 0) << "no failover, so no interruption notice";
  EXPECT_THROW(c.send(Destination::queue("q"), OutgoingMessage("x")), stomp::ConnectionLostError);

  // Failover that gives up also ends in the exception listener.
  broker.restart();
  Connection limited("failover:(" + broker.stompUri() + ")?initialReconnectDelay=50&maxReconnectAttempts=3", o);
  Signal gaveUp, down;
  limited.setExceptionListener([&](const stomp::Error& e) { gaveUp.set(e.what()); });
  limited.setTransportListener({[&] { down.set(); }, nullptr});
  limited.start();
  broker.kill();
  ASSERT_TRUE(down.waitFor(1, 15s));
  ASSERT_TRUE(gaveUp.waitFor(1, 15s)) << "failover did not give up";
  EXPECT_NE(gaveUp.text().find("3 attempts"), std::string::npos) << gaveUp.text();
  c.close();
  c.close();  // idempotent
}

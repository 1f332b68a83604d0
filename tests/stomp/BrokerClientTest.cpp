// The client against a real ActiveMQ broker: sending, receiving,
// acknowledgement and redelivery, selectors, credentials, TLS.
#include "Received.h"
#include "stomp/Client.h"
#include "tests/common/TestBroker.h"

#include <gtest/gtest.h>

#include <optional>
#include <thread>

using namespace std::chrono_literals;
using mqb::test::TestBroker;
using stomp::AckMode;
using stomp::Connection;
using stomp::Destination;
using stomp::OutgoingMessage;
using stomp::test::Received;
using stomp::test::Signal;

namespace {

stomp::ConnectionOptions quick() {
  stomp::ConnectionOptions o;
  o.connectTimeout = 5s;
  o.receiptTimeout = 5s;
  return o;
}

}  // namespace

TEST(BrokerClient, PersistentTextRoundTripAndMessageTypes) {
  TestBroker broker("stomp-roundtrip");
  Connection producer(broker.stompUri(), quick());
  Connection consumer(broker.stompUri(), quick());
  producer.start();
  consumer.start();
  EXPECT_TRUE(producer.isConnected());
  EXPECT_EQ(producer.version(), "1.2");

  const auto q = Destination::queue("roundtrip");
  producer.send(q, OutgoingMessage("{\"login\":1001}", "corr-1"));
  producer.send(q, OutgoingMessage(std::string("with\0nul", 8)));
  producer.send(q, OutgoingMessage(""));
  OutgoingMessage bytes("raw");
  bytes.bytes = true;
  producer.sendAsync(q, bytes).get();
  OutgoingMessage headers("h:é\n");
  headers.headers = {{"x-note", "a:b\\c\nd"}};
  producer.send(q, headers);

  Received got;
  consumer.subscribe(q, got.listener(), AckMode::AfterCallback);

  auto m1 = got.next();
  ASSERT_TRUE(m1);
  EXPECT_EQ(m1->body(), "{\"login\":1001}");
  EXPECT_TRUE(m1->isText());
  EXPECT_EQ(m1->correlationId(), "corr-1");
  EXPECT_FALSE(m1->messageId().empty());
  EXPECT_EQ(m1->destination(), "/queue/roundtrip");
  EXPECT_EQ(m1->header("persistent").value_or(""), "true");
  EXPECT_FALSE(m1->redelivered());

  auto m2 = got.next();
  ASSERT_TRUE(m2);
  EXPECT_EQ(m2->body(), std::string("with\0nul", 8));
  EXPECT_TRUE(m2->isText()) << "a body with NUL must still arrive as text";

  auto m3 = got.next();
  ASSERT_TRUE(m3);
  EXPECT_EQ(m3->body(), "");
  EXPECT_TRUE(m3->isText());

  auto m4 = got.next();
  ASSERT_TRUE(m4);
  EXPECT_EQ(m4->body(), "raw");
  EXPECT_FALSE(m4->isText());

  auto m5 = got.next();
  ASSERT_TRUE(m5);
  EXPECT_EQ(m5->body(), "h:é\n");
  EXPECT_EQ(m5->header("x-note").value_or(""), "a:b\\c\nd");

  // Everything was acknowledged after the callbacks: nothing comes again.
  consumer.close();
  Connection again(broker.stompUri(), quick());
  again.start();
  Received none;
  again.subscribe(q, none.listener(), AckMode::ClientIndividual);
  EXPECT_FALSE(none.next(1500ms));

  // Topics reach every subscriber present.
  Received t1, t2;
  again.subscribe(Destination::topic("news"), t1.listener());
  producer.subscribe(Destination::topic("news"), t2.listener());
  producer.send(Destination::topic("news"), OutgoingMessage("flash"));
  auto a = t1.next();
  auto b = t2.next();
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->body(), "flash");
  EXPECT_EQ(b->destination(), "/topic/news");
}

TEST(BrokerClient, CallbackMaySendOnItsOwnAndOtherConnections) {
  TestBroker broker("stomp-reply");
  Connection requests(broker.stompUri(), quick());
  Connection replies(broker.stompUri(), quick());
  requests.start();
  replies.start();

  // The listener sends on its own connection and on another one, blocking
  // for each receipt, as a request handler sending its reply does.
  requests.subscribe(
      Destination::queue("req"),
      [&](const stomp::Message& m) {
        requests.send(Destination::queue("audit"), OutgoingMessage("seen " + m.body()));
        replies.send(Destination::queue("rep"), OutgoingMessage("re: " + m.body(), m.correlationId()));
      },
      AckMode::AfterCallback);

  Received rep, audit;
  replies.subscribe(Destination::queue("rep"), rep.listener());
  replies.subscribe(Destination::queue("audit"), audit.listener());
  for (int i = 0; i < 20; ++i)
    replies.send(Destination::queue("req"), OutgoingMessage("m" + std::to_string(i), "c" + std::to_string(i)));
  for (int i = 0; i < 20; ++i) {
    auto r = rep.next();
    ASSERT_TRUE(r) << "reply " << i;
    EXPECT_EQ(r->body(), "re: m" + std::to_string(i)) << "replies keep the order of requests";
    EXPECT_EQ(r->correlationId(), "c" + std::to_string(i));
    auto a = audit.next();
    ASSERT_TRUE(a);
    EXPECT_EQ(a->body(), "seen m" + std::to_string(i));
  }
}

TEST(BrokerClient, UnacknowledgedMessagesAreRedeliveredAfterTheConnectionEnds) {
  TestBroker broker("stomp-redeliver");
  Connection producer(broker.stompUri(), quick());
  producer.start();
  const auto q = Destination::queue("work");
  producer.send(q, OutgoingMessage("first"));
  producer.send(q, OutgoingMessage("second"));

  {
    // Handling cut short: the connection goes away before the listener
    // returns, so the library's ACK after the callback never happens.
    Connection crashing(broker.stompUri(), quick());
    crashing.start();
    Signal inCallback;
    crashing.subscribe(q,
                       [&](const stomp::Message& m) {
                         if (m.body() == "first") {
                           crashing.close();
                           inCallback.set();
                         }
                       },
                       AckMode::AfterCallback, {{"activemq.prefetchSize", "1"}});
    ASSERT_TRUE(inCallback.waitFor());
  }
  {
    // Client-individual without ACK: both come back on the next connection.
    Connection forgetful(broker.stompUri(), quick());
    forgetful.start();
    Received got;
    forgetful.subscribe(q, got.listener(), AckMode::ClientIndividual);
    auto a = got.next();
    auto b = got.next();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->body(), "first");
    EXPECT_TRUE(a->redelivered());
    EXPECT_EQ(b->body(), "second");
    forgetful.ack(*b);  // only the second is taken
  }
  Connection last(broker.stompUri(), quick());
  last.start();
  Received got;
  last.subscribe(q, got.listener(), AckMode::ClientIndividual);
  auto a = got.next();
  ASSERT_TRUE(a);
  EXPECT_EQ(a->body(), "first");
  EXPECT_TRUE(a->redelivered());
  last.ack(*a);
  last.ack(*a);  // a second ACK of the same message is dropped, not an error
  EXPECT_FALSE(got.next(1000ms)) << "the acknowledged second message must not come again";
  EXPECT_TRUE(last.isConnected());
}

TEST(BrokerClient, SelectorOnCorrelationIdAndPrefetch) {
  TestBroker broker("stomp-selector");
  Connection c(broker.stompUri(), quick());
  c.start();
  const auto q = Destination::queue("replies");
  c.send(q, OutgoingMessage("for a", "a"));
  c.send(q, OutgoingMessage("for b", "b"));
  c.send(q, OutgoingMessage("for a again", "a"));

  Received onlyB;
  c.subscribe(q, onlyB.listener(), AckMode::AfterCallback,
              {{"selector", "JMSCorrelationID = 'b'"}, {"activemq.prefetchSize", "1"}});
  auto m = onlyB.next();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->body(), "for b");
  EXPECT_FALSE(onlyB.next(1000ms));

  Received onlyA;
  auto id = c.subscribe(q, onlyA.listener(), AckMode::AfterCallback, {{"selector", "JMSCorrelationID = 'a'"}});
  auto a1 = onlyA.next();
  auto a2 = onlyA.next();
  ASSERT_TRUE(a1 && a2);
  EXPECT_EQ(a1->body(), "for a");
  EXPECT_EQ(a2->body(), "for a again");
  c.unsubscribe(id);
  c.send(q, OutgoingMessage("late", "a"));
  EXPECT_FALSE(onlyA.next(1000ms)) << "no delivery after unsubscribe";
}

TEST(BrokerClient, CredentialsAcceptedAndRefused) {
  TestBroker broker("stomp-auth", {"bridge", "s3cret"});
  auto with = [](std::string login, std::string pass) {
    auto o = quick();
    o.login = std::move(login);
    o.passcode = std::move(pass);
    return o;
  };

  Connection good(broker.stompUri(), with("bridge", "s3cret"));
  good.start();
  good.send(Destination::queue("secured"), OutgoingMessage("ok"));

  // The broker answers a refused CONNECT with an ERROR frame and closes. Now
  // and then it closes before that frame is written: the attempt still fails,
  // as a ConnectError, so a refusal is asked for again until it carries the
  // broker's own answer.
  auto refused = [&](const stomp::ConnectionOptions& options, const char* who) -> std::optional<stomp::BrokerError> {
    for (int attempt = 0; attempt < 4; ++attempt) {
      Connection c(broker.stompUri(), options);
      try {
        c.start();
        ADD_FAILURE() << who << ": accepted";
        return std::nullopt;
      } catch (const stomp::BrokerError& e) {
        EXPECT_FALSE(c.isConnected()) << who;
        return e;
      } catch (const stomp::ConnectError& e) {
        EXPECT_FALSE(c.isConnected()) << who;
        if (!options.passcode.empty()) {
          EXPECT_EQ(std::string(e.what()).find(options.passcode), std::string::npos) << who << ": no password";
        }
      }
    }
    ADD_FAILURE() << who << ": never answered with the broker's ERROR frame";
    return std::nullopt;
  };

  if (auto e = refused(with("bridge", "wrong-password"), "wrong password")) {
    EXPECT_NE(std::string(e->what()).find(broker.stompUri()), std::string::npos) << e->what();
    EXPECT_FALSE(e->brokerMessage().empty()) << "the broker's own message is kept";
    EXPECT_EQ(std::string(e->what()).find("wrong-password"), std::string::npos) << "no password in errors";
  }

  // A login without passcode is no credentials at all: anonymous, refused.
  refused(with("bridge", ""), "login without passcode");
  refused(quick(), "no credentials");
  EXPECT_TRUE(good.isConnected()) << "the refusals leave the good session alone";
}

TEST(BrokerClient, TlsVerifiesThePeer) {
  TestBroker broker("stomp-tls");
  const std::string base = broker.sslUri();

  // The first session over TLS on a fresh broker now and then waits seconds
  // for the broker on a busy machine; the refusals below need no such room.
  auto firstOverTls = quick();
  firstOverTls.connectTimeout = 30s;
  Connection trusted(base + "?caFile=" + broker.caFile(), firstOverTls);
  trusted.start();
  Received got;
  trusted.subscribe(Destination::queue("tls"), got.listener(), AckMode::AfterCallback);
  trusted.send(Destination::queue("tls"), OutgoingMessage("over tls"));
  auto m = got.next();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->body(), "over tls");

  Connection untrusted(base + "?caFile=" + broker.untrustedCaFile(), quick());
  try {
    untrusted.start();
    FAIL() << "a broker certificate from an untrusted CA was accepted";
  } catch (const stomp::ConnectError& e) {
    EXPECT_NE(std::string(e.what()).find(base), std::string::npos) << e.what();
  }

  Connection missingCa(base + "?caFile=/nonexistent/ca.pem", quick());
  EXPECT_THROW(missingCa.start(), stomp::ConnectError);

  Connection unverified(base + "?verifyPeer=false", quick());
  unverified.start();
  EXPECT_TRUE(unverified.isConnected());

  Connection alias("stomp+ssl://localhost:" + std::to_string(broker.stompSslPort()) + "?caFile=" + broker.caFile(),
                   quick());
  alias.start();
  EXPECT_TRUE(alias.isConnected());
}

TEST(BrokerClient, UnusablePortsAreClearErrorsNamingTheUri) {
  TestBroker broker("stomp-badport");
  auto o = quick();
  o.connectTimeout = 3s;

  // OpenWire answers in its own binary format, or not at all.
  const std::string openwire = "tcp://127.0.0.1:" + std::to_string(broker.openwirePort());
  Connection wrongProtocol(openwire, o);
  auto t0 = std::chrono::steady_clock::now();
  try {
    wrongProtocol.start();
    FAIL() << "an OpenWire port passed for STOMP";
  } catch (const stomp::ConnectError& e) {
    EXPECT_NE(std::string(e.what()).find(openwire), std::string::npos) << e.what();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - t0, o.connectTimeout + 5s);

  // TLS spoken to the plain port, plain STOMP to the TLS port.
  Connection tlsToPlain("ssl://127.0.0.1:" + std::to_string(broker.stompPort()) + "?verifyPeer=false", o);
  EXPECT_THROW(tlsToPlain.start(), stomp::ConnectError);
  Connection plainToTls("tcp://127.0.0.1:" + std::to_string(broker.stompSslPort()), o);
  EXPECT_THROW(plainToTls.start(), stomp::ConnectError);

  // Nobody listening; with failover it gives up within the connect time-out.
  broker.kill();
  Connection refused(broker.stompUri(), o);
  EXPECT_THROW(refused.start(), stomp::ConnectError);
  Connection failover("failover:(" + broker.stompUri() + ")?initialReconnectDelay=50", o);
  t0 = std::chrono::steady_clock::now();
  try {
    failover.start();
    FAIL() << "connected to a dead broker";
  } catch (const stomp::ConnectError& e) {
    EXPECT_NE(std::string(e.what()).find("failover:("), std::string::npos) << e.what();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - t0, o.connectTimeout + 5s);
  EXPECT_THROW(failover.send(Destination::queue("q"), OutgoingMessage("x")), stomp::ConnectionLostError);
}

TEST(BrokerClient, HeartBeatsKeepAnIdleConnectionAlive) {
  TestBroker broker("stomp-idle");
  auto o = quick();
  o.heartBeatSend = o.heartBeatReceive = 500ms;
  Connection idle(broker.stompUri(), o);
  Signal lost;
  idle.setExceptionListener([&](const stomp::Error& e) { lost.set(e.what()); });
  idle.start();
  Received got;
  idle.subscribe(Destination::queue("idle"), got.listener(), AckMode::AfterCallback);
  EXPECT_FALSE(lost.waitFor(1, 4s)) << "an idle but healthy broker was taken for lost: " << lost.text();
  EXPECT_TRUE(idle.isConnected());
  idle.send(Destination::queue("idle"), OutgoingMessage("still here"));
  auto m = got.next();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->body(), "still here");
}

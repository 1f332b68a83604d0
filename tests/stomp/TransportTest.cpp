// The transport against scripted peers: heart-beats, time-outs, ERROR
// frames, garbage, acknowledgements, ordered close.
#include "FakePeer.h"
#include "Received.h"
#include "ScriptedServing.h"
#include "stomp/Client.h"
#include "stomp/Completion.h"
#include "stomp/Failure.h"

#include <gtest/gtest.h>

#include <asio.hpp>
#include <memory>
#include <mutex>
#include <vector>

using namespace std::chrono_literals;
using stomp::AckMode;
using stomp::Connection;
using stomp::Destination;
using stomp::Frame;
using stomp::OutgoingMessage;
using stomp::test::FakePeer;
using stomp::test::fast;
using stomp::test::PeerConnection;
using stomp::test::Received;
using stomp::test::serve;
using stomp::test::Signal;

TEST(Transport, HeartBeatsGoOutAndASilentBrokerIsDetected) {
  std::atomic<std::size_t> beats{0};
  std::string connectHeartBeat;
  FakePeer peer([&](PeerConnection& c, int) {
    auto connect = c.expect("CONNECT");
    if (!connect) return;
    connectHeartBeat = connect->header("heart-beat").value_or("");
    c.connected("1.2", "200,200");
    c.drain(3s);  // reads, never writes
    beats = c.heartBeats();
  });
  auto o = fast();
  o.heartBeatSend = o.heartBeatReceive = 200ms;
  Connection conn(peer.uri(), o);
  Signal lost;
  bool lostType = false;
  conn.setExceptionListener([&](const stomp::Error& e) {
    lostType = dynamic_cast<const stomp::ConnectionLostError*>(&e) != nullptr;
    lost.set(e.what());
  });
  auto t0 = std::chrono::steady_clock::now();
  conn.start();
  ASSERT_TRUE(lost.waitFor(1, 5s)) << "a broker silent past its heart-beat went unnoticed";
  auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_TRUE(lostType);
  EXPECT_NE(lost.text().find("heart-beat"), std::string::npos) << lost.text();
  EXPECT_GE(took, 550ms) << "given up before three times the interval";
  EXPECT_FALSE(conn.isConnected());
  conn.close();
  EXPECT_EQ(connectHeartBeat, "200,200");
  // The peer counted our EOLs when its reading ended.
  for (int i = 0; i < 100 && beats == 0; ++i) std::this_thread::sleep_for(50ms);
  EXPECT_GE(beats.load(), 1u) << "no heart-beat was sent while idle";
}

TEST(Transport, ConnectAndReceiptTimeOutsAreBounded) {
  FakePeer mute([](PeerConnection& c, int) { c.drain(3s); });
  auto o = fast();
  o.connectTimeout = 500ms;
  Connection conn(mute.uri(), o);
  auto t0 = std::chrono::steady_clock::now();
  try {
    conn.start();
    FAIL() << "connected to a peer that never answered";
  } catch (const stomp::ConnectError& e) {
    EXPECT_NE(std::string(e.what()).find(mute.uri()), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("CONNECTED"), std::string::npos) << e.what();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s) << "the connect time-out bounds start()";

  // A RECEIPT that comes too late: the send fails, the late receipt is ignored.
  FakePeer slow([](PeerConnection& c, int) {
    if (!c.expect("CONNECT")) return;
    c.connected();
    auto first = c.expect("SEND");
    if (!first) return;
    std::this_thread::sleep_for(700ms);
    c.receipt(*first);
    while (auto f = c.readFrame(3s)) c.receipt(*f);
  });
  o.receiptTimeout = 300ms;
  Connection late(slow.uri(), o);
  late.start();
  EXPECT_THROW(late.send(Destination::queue("q"), OutgoingMessage("first")), stomp::TimeoutError);
  std::this_thread::sleep_for(600ms);
  EXPECT_NO_THROW(late.send(Destination::queue("q"), OutgoingMessage("second")));
  EXPECT_TRUE(late.isConnected());
}

TEST(Transport, BlockingCallsFromASendCallbackAreRefused) {
  FakePeer peer([](PeerConnection& c, int) { serve(c); });
  Connection conn(peer.uri(), fast());
  conn.start();
  Signal done;
  std::string refusal;
  conn.sendAsync(Destination::queue("q"), OutgoingMessage("first"), [&](std::exception_ptr e) {
    if (e) return done.set("first send failed");
    try {
      conn.send(Destination::queue("q"), OutgoingMessage("nested"));  // would wait for itself
      done.set("nested blocking send was allowed");
    } catch (const stomp::Error& x) {
      try {
        conn.close();  // would join the thread it runs on
        done.set("close on the I/O thread was allowed");
      } catch (const stomp::Error& y) {
        done.set(std::string(x.what()) + " / " + y.what());
      }
    }
  });
  ASSERT_TRUE(done.waitFor(1, 5s));
  EXPECT_NE(done.text().find("send on"), std::string::npos) << done.text();
  EXPECT_NE(done.text().find("close on"), std::string::npos) << done.text();
  EXPECT_NO_THROW(conn.send(Destination::queue("q"), OutgoingMessage("after"))) << "the connection still works";
}

TEST(Transport, ErrorFramesFailTheirRequestOrTheConnection) {
  Signal errorSent;
  FakePeer peer([&](PeerConnection& c, int) {
    if (!c.expect("CONNECT")) return;
    c.connected();
    while (auto f = c.readFrame(3s)) {
      if (f->command == "SEND" && f->header("destination") == "/queue/forbidden") {
        c.send(
            Frame{"ERROR", {{"receipt-id", f->header("receipt").value_or("")}, {"message", "not allowed"}}, "details"});
      } else if (f->command == "SEND" && f->body == "kill") {
        c.send(Frame{"ERROR", {{"message", "boom"}}, ""});
        errorSent.set();
        c.drain(1s);
        return;
      } else {
        c.receipt(*f);
      }
    }
  });
  // Under failover too: an ERROR frame ends the connection for good.
  Connection conn("failover:(" + peer.uri() + ")?initialReconnectDelay=10", fast());
  Signal fatal, interrupted;
  std::string brokerMessage;
  conn.setExceptionListener([&](const stomp::Error& e) {
    if (auto be = dynamic_cast<const stomp::BrokerError*>(&e)) brokerMessage = be->brokerMessage();
    fatal.set(e.what());
  });
  conn.setTransportListener({[&] { interrupted.set(); }, nullptr});
  conn.start();

  try {
    conn.send(Destination::queue("forbidden"), OutgoingMessage("x"));
    FAIL() << "a refused send reported success";
  } catch (const stomp::BrokerError& e) {
    EXPECT_EQ(e.brokerMessage(), "not allowed");
    EXPECT_EQ(e.details(), "details");
    EXPECT_NE(std::string(e.what()).find("/queue/forbidden"), std::string::npos) << e.what();
  }
  EXPECT_NO_THROW(conn.send(Destination::queue("fine"), OutgoingMessage("y"))) << "the connection stays";

  auto pending = conn.sendAsync(Destination::queue("fine"), OutgoingMessage("kill"));
  ASSERT_TRUE(fatal.waitFor(1, 5s));
  EXPECT_EQ(brokerMessage, "boom");
  EXPECT_THROW(pending.get(), stomp::ConnectionLostError);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(interrupted.count(), 0);
  EXPECT_EQ(peer.accepted(), 1) << "no reconnection after an ERROR frame";
  EXPECT_FALSE(conn.isConnected());
}

TEST(Transport, GarbageFromThePeerIsAProtocolError) {
  FakePeer peer([](PeerConnection& c, int) {
    if (!c.expect("CONNECT")) return;
    c.connected();
    c.write(std::string("\x01\x02 not stomp\n\n", 15));
    c.drain(1s);
  });
  Connection conn(peer.uri(), fast());
  Signal broken;
  bool protocol = false;
  conn.setExceptionListener([&](const stomp::Error& e) {
    protocol = dynamic_cast<const stomp::ProtocolError*>(&e) != nullptr;
    broken.set(e.what());
  });
  conn.start();
  ASSERT_TRUE(broken.waitFor(1, 5s));
  EXPECT_TRUE(protocol) << broken.text();

  // And an oversized frame from the broker, likewise, without a crash.
  FakePeer huge([](PeerConnection& c, int) {
    if (!c.expect("CONNECT")) return;
    c.connected();
    c.write("MESSAGE\ncontent-length:99999999999\n\n");
    c.drain(1s);
  });
  Connection big(huge.uri(), fast());
  Signal refused;
  big.setExceptionListener([&](const stomp::Error& e) { refused.set(e.what()); });
  big.start();
  ASSERT_TRUE(refused.waitFor(1, 5s));
  EXPECT_NE(refused.text().find("frame size limit"), std::string::npos) << refused.text();
}

TEST(Transport, AcknowledgementsFollowTheNegotiatedVersion) {
  for (std::string version : {"1.2", "1.1", "1.0"}) {
    SCOPED_TRACE(version);
    std::mutex m;
    std::vector<Frame> acks;
    std::string subId;
    FakePeer peer([&](PeerConnection& c, int) {
      auto sub = c.acceptSubscriber(version);
      if (!sub) return;
      {
        std::lock_guard<std::mutex> lock(m);
        subId = sub->header("id").value_or("");
      }
      for (int i = 1; i <= 2; ++i)
        c.send(Frame{"MESSAGE",
                     {{"subscription", subId},
                      {"message-id", "ID:" + std::to_string(i)},
                      {"ack", "A" + std::to_string(i)},
                      {"destination", "/queue/q"}},
                     "m" + std::to_string(i)});
      while (auto f = c.readFrame(2s)) {
        c.receipt(*f);
        if (f->command == "ACK" || f->command == "NACK") {
          std::lock_guard<std::mutex> lock(m);
          acks.push_back(*f);
        }
      }
    });
    Connection conn(peer.uri(), fast());
    conn.start();
    EXPECT_EQ(conn.version(), version);
    Received got;
    conn.subscribe(Destination::queue("q"), got.listener(), AckMode::ClientIndividual);
    auto m1 = got.next(), m2 = got.next();
    ASSERT_TRUE(m1 && m2);
    conn.ack(*m1);
    conn.ack(*m1);  // dropped: already acknowledged
    if (version == "1.0")
      EXPECT_THROW(conn.nack(*m2), stomp::Error);
    else
      conn.nack(*m2);
    conn.close();

    std::lock_guard<std::mutex> lock(m);
    ASSERT_EQ(acks.size(), version == "1.0" ? 1u : 2u);
    EXPECT_EQ(acks[0].command, "ACK");
    if (version == "1.2") {
      EXPECT_EQ(acks[0].headers, (stomp::Headers{{"id", "A1"}}));
      EXPECT_EQ(acks[1].command, "NACK");
      EXPECT_EQ(acks[1].headers, (stomp::Headers{{"id", "A2"}}));
    } else if (version == "1.1") {
      EXPECT_EQ(acks[0].headers, (stomp::Headers{{"message-id", "ID:1"}, {"subscription", subId}}));
    } else {
      EXPECT_EQ(acks[0].headers, (stomp::Headers{{"message-id", "ID:1"}}));
    }
  }
}

namespace {

struct CountingListener {
  std::atomic<int> calls{0};
  void onMessage(const stomp::Message&) {
    ++calls;
    std::this_thread::sleep_for(2ms);
  }
};

}  // namespace

TEST(Transport, OrderedCloseAndNoCallbackAfterIt) {
  std::mutex m;
  std::vector<std::string> commands;
  FakePeer peer([&](PeerConnection& c, int) {
    auto sub = c.acceptSubscriber();
    if (!sub) return;
    const std::string id = sub->header("id").value_or("");
    for (int i = 0; !c.closed(); ++i) {
      c.send(Frame{"MESSAGE",
                   {{"subscription", id},
                    {"message-id", "ID:" + std::to_string(i)},
                    {"ack", std::to_string(i)},
                    {"destination", "/queue/flood"}},
                   "x"});
      while (auto f = c.readFrame(1ms)) {
        std::lock_guard<std::mutex> lock(m);
        commands.push_back(f->command);
        if (f->command == "DISCONNECT") {
          c.receipt(*f);
          c.drain(200ms);
          return;
        }
      }
    }
  });
  auto listener = std::make_unique<CountingListener>();
  auto* raw = listener.get();
  Connection conn(peer.uri(), fast());
  conn.start();
  conn.subscribe(
      Destination::queue("flood"), [raw](const stomp::Message& msg) { raw->onMessage(msg); }, AckMode::AfterCallback);
  while (raw->calls < 20) std::this_thread::sleep_for(5ms);
  conn.close();
  const int atClose = raw->calls;
  listener.reset();  // the listener's object goes; no call may reach it now
  std::this_thread::sleep_for(200ms);
  conn.close();
  EXPECT_GE(atClose, 20);

  std::lock_guard<std::mutex> lock(m);
  ASSERT_GE(commands.size(), 3u);
  EXPECT_EQ(commands.back(), "DISCONNECT");
  EXPECT_EQ(commands[commands.size() - 2], "UNSUBSCRIBE");
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "ACK"), atClose) << "one ACK per finished callback";
}

TEST(Transport, CloseFromInsideACallbackAndBeforeStart) {
  FakePeer peer([](PeerConnection& c, int) {
    auto sub = c.acceptSubscriber();
    if (!sub) return;
    c.send(Frame{"MESSAGE",
                 {{"subscription", sub->header("id").value_or("")}, {"message-id", "1"}, {"destination", "/queue/q"}},
                 "x"});
    serve(c, 2s);
  });
  Signal closedInside;
  {
    Connection conn(peer.uri(), fast());
    conn.start();
    conn.subscribe(Destination::queue("q"), [&](const stomp::Message&) {
      conn.close();
      closedInside.set();
    });
    ASSERT_TRUE(closedInside.waitFor(1, 5s));
    EXPECT_FALSE(conn.isConnected());
    EXPECT_THROW(conn.send(Destination::queue("q"), OutgoingMessage("x")), stomp::ConnectionLostError);
    EXPECT_THROW(conn.start(), stomp::Error);
  }
  // Never started: close and destruction do nothing, twice.
  Connection idle("tcp://127.0.0.1:1");
  idle.close();
  idle.close();
  EXPECT_THROW(idle.send(Destination::queue("q"), OutgoingMessage("x")), stomp::ConnectionLostError);
}

TEST(Transport, AnErrorHandedToABlockedCallerKeepsItsType) {
  using stomp::Failure;
  for (auto kind :
       {Failure::Kind::General, Failure::Kind::Uri, Failure::Kind::Connect, Failure::Kind::Broker,
        Failure::Kind::Timeout, Failure::Kind::ConnectionLost, Failure::Kind::Protocol, Failure::Kind::Limit}) {
    Failure failure(kind, "what happened");
    failure.brokerMessage = "message";
    const auto copy = stomp::detail::copyError(stomp::toException(failure));
    try {
      stomp::detail::throwCopy(*copy);
    } catch (const stomp::Error& e) {
      const Failure again = Failure::of(e);
      EXPECT_EQ(again.kind, kind) << e.what();
      EXPECT_STREQ(e.what(), "what happened");
      if (kind == Failure::Kind::Broker) {
        EXPECT_EQ(again.brokerMessage, "message");
      }
    }
  }
}

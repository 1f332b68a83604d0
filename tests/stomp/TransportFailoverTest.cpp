// The transport's failover and bounds against scripted peers: moving on to
// the next broker and restoring subscriptions, a flapping broker given up,
// bounded requests and deliveries, options checked at construction.
#include "FakePeer.h"
#include "Received.h"
#include "ScriptedServing.h"
#include "stomp/Client.h"

#include <gtest/gtest.h>

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

TEST(Transport, FailoverMovesOnAndRestoresSubscriptions) {
  std::mutex m;
  std::vector<Frame> resubscribed;
  FakePeer peer([&](PeerConnection& c, int index) {
    auto sub = c.acceptSubscriber();
    if (!sub) return;
    if (index == 0) return;  // drops the connection
    {
      std::lock_guard<std::mutex> lock(m);
      resubscribed.push_back(*sub);
    }
    c.send(Frame{
        "MESSAGE",
        {{"subscription", sub->header("id").value_or("")}, {"message-id", "ID:9"}, {"destination", "/queue/jobs"}},
        "after"});
    serve(c, 2s);
  });
  // The first endpoint is closed: failover moves on to the second.
  FakePeer closed([](PeerConnection&, int) {});
  const std::string deadUri = closed.uri();
  std::string uri = "failover:(" + deadUri + "," + peer.uri() + ")?randomize=false&initialReconnectDelay=20";
  Connection conn(uri, fast());
  Signal down, up;
  conn.setTransportListener({[&] { down.set(); }, [&] { up.set(); }});
  conn.start();
  EXPECT_GE(closed.accepted() + 0, 0);
  Received got;
  std::string id =
      conn.subscribe(Destination::queue("jobs"), got.listener(), AckMode::Auto, {{"selector", "kind = 'x'"}});
  ASSERT_TRUE(down.waitFor(1, 5s));
  ASSERT_TRUE(up.waitFor(1, 5s));
  auto msg = got.next();
  ASSERT_TRUE(msg);
  EXPECT_EQ(msg->body(), "after");
  std::lock_guard<std::mutex> lock(m);
  ASSERT_EQ(resubscribed.size(), 1u);
  EXPECT_EQ(resubscribed[0].header("id").value_or(""), id);
  EXPECT_EQ(resubscribed[0].header("destination").value_or(""), "/queue/jobs");
  EXPECT_EQ(resubscribed[0].header("selector").value_or(""), "kind = 'x'");
}

// A broker that answers CONNECTED and drops every session after 0.2 s: the
// short sessions spend the reconnect budget, the waits between them grow.
TEST(Transport, AFlappingBrokerSpendsTheBudgetAndIsGivenUp) {
  std::mutex m;
  std::vector<std::chrono::steady_clock::time_point> connects, drops;
  FakePeer peer([&](PeerConnection& c, int) {
    if (!c.expect("CONNECT")) return;
    {
      std::lock_guard<std::mutex> lock(m);
      connects.push_back(std::chrono::steady_clock::now());
    }
    c.connected();
    c.drain(200ms);
    std::lock_guard<std::mutex> lock(m);
    drops.push_back(std::chrono::steady_clock::now());
  });
  Connection conn("failover:(" + peer.uri() + ")?initialReconnectDelay=100&maxReconnectAttempts=3", fast());
  Signal gaveUp;
  conn.setExceptionListener([&](const stomp::Error& e) { gaveUp.set(e.what()); });
  conn.start();
  ASSERT_TRUE(gaveUp.waitFor(1, 10s)) << "reconnected without end";
  EXPECT_NE(gaveUp.text().find("3 attempts"), std::string::npos) << gaveUp.text();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(peer.accepted(), 4) << "the first session and three reconnections";

  std::lock_guard<std::mutex> lock(m);
  ASSERT_EQ(connects.size(), 4u);
  std::vector<std::chrono::milliseconds> waits;
  for (std::size_t i = 0; i + 1 < connects.size(); ++i)
    waits.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(connects[i + 1] - drops[i]));
  EXPECT_GE(waits[0], 40ms) << "no immediate retry after a short session";
  EXPECT_GT(waits[2], waits[0]) << "the waits grow";
}

// The connection checks its URI and options at construction, before any I/O.
TEST(Transport, UriAndOptionsAreCheckedAtConstruction) {
  // The connection checks its URI at construction, before any I/O.
  EXPECT_THROW(stomp::Connection("tcp://nohost"), stomp::UriError);
  EXPECT_THROW(stomp::Connection("tcp://h:1",
                                 [] {
                                   stomp::ConnectionOptions o;
                                   o.receiptTimeout = 0ms;
                                   return o;
                                 }()),
               stomp::Error);
}

// Requests beyond maxPendingRequests: an async caller is told at once, a
// blocking one waits for room and then times out, nothing sent. A full
// delivery queue stops reading, and reading goes on once it drained.
TEST(Transport, BoundedRequestsAndDeliveries) {
  std::atomic<int> sends{0};
  FakePeer peer([&](PeerConnection& c, int) {
    auto sub = c.acceptSubscriber();
    if (!sub) return;
    for (int i = 0; i < 20; ++i)
      c.send(Frame{"MESSAGE",
                   {{"subscription", sub->header("id").value_or("")},
                    {"message-id", std::to_string(i)},
                    {"destination", "/queue/q"}},
                   "m"});
    while (auto f = c.readFrame(3s))
      if (f->command == "SEND") ++sends;  // never answered
  });
  auto o = fast();
  o.maxPendingRequests = 2;
  o.maxQueuedDeliveries = 2;
  o.receiptTimeout = 500ms;
  Connection conn(peer.uri(), o);
  conn.start();
  std::atomic<int> handled{0};
  conn.subscribe(Destination::queue("q"), [&](const stomp::Message&) {
    std::this_thread::sleep_for(5ms);
    ++handled;
  });
  auto first = conn.sendAsync(Destination::queue("out"), OutgoingMessage("1"));
  auto second = conn.sendAsync(Destination::queue("out"), OutgoingMessage("2"));
  auto third = conn.sendAsync(Destination::queue("out"), OutgoingMessage("3"));
  EXPECT_THROW(third.get(), stomp::LimitError);
  EXPECT_THROW(conn.send(Destination::queue("out"), OutgoingMessage("4")), stomp::TimeoutError);
  EXPECT_THROW(first.get(), stomp::TimeoutError);
  EXPECT_THROW(second.get(), stomp::TimeoutError);
  for (int i = 0; i < 200 && handled < 20; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(handled.load(), 20) << "reading did not go on after the delivery queue drained";
  conn.close();
  EXPECT_LE(sends.load(), 3) << "the refused send went out";
}

// Several threads sending on one connection, a consumer acknowledging from
// other threads, and a close racing with sends: run under ThreadSanitizer.
#include "Received.h"
#include "stomp/Client.h"
#include "tests/common/TestBroker.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

using namespace std::chrono_literals;
using mqb::test::TestBroker;
using stomp::AckMode;
using stomp::Connection;
using stomp::Destination;
using stomp::OutgoingMessage;
using stomp::test::Received;

TEST(StompConcurrency, ManySendersOneConsumerAndARacingClose) {
  TestBroker broker("stomp-tsan");
  stomp::ConnectionOptions o;
  o.receiptTimeout = 60s;
  Connection producer(broker.stompUri(), o);
  Connection consumer(broker.stompUri(), o);
  producer.start();
  consumer.start();

  // The consumer hands messages to worker threads that acknowledge them.
  Received got;
  consumer.subscribe(Destination::queue("load"), got.listener(), AckMode::ClientIndividual,
                     {{"activemq.prefetchSize", "50"}});

  constexpr int threads = 4, perThread = 60;
  std::vector<std::thread> senders;
  std::atomic<int> failures{0};
  for (int t = 0; t < threads; ++t)
    senders.emplace_back([&, t] {
      for (int i = 0; i < perThread; ++i) {
        std::string body = std::to_string(t) + "-" + std::to_string(i);
        try {
          if (i % 3 == 0)
            producer.sendAsync(Destination::queue("load"), OutgoingMessage(body)).get();
          else
            producer.send(Destination::queue("load"), OutgoingMessage(body, body));
        } catch (const stomp::Error&) {
          ++failures;
        }
      }
    });

  std::set<std::string> seen;
  std::vector<std::thread> ackers;
  for (int i = 0; i < threads * perThread; ++i) {
    auto m = got.next(30s);
    ASSERT_TRUE(m) << "after " << seen.size() << " messages";
    EXPECT_TRUE(seen.insert(m->body()).second) << "duplicate " << m->body();
    ackers.emplace_back([&consumer, msg = *m] { consumer.ack(msg); });
    if (ackers.size() >= 8) {
      for (auto& a : ackers) a.join();
      ackers.clear();
    }
  }
  for (auto& a : ackers) a.join();
  for (auto& s : senders) s.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(threads * perThread));

  // Close while other threads still send: each send either completes or
  // fails with a library error; nothing hangs or crashes.
  std::atomic<bool> go{true};
  std::vector<std::thread> late;
  for (int t = 0; t < 3; ++t)
    late.emplace_back([&] {
      while (go) {
        try {
          producer.send(Destination::queue("late"), OutgoingMessage("x"));
        } catch (const stomp::ConnectionLostError&) {
          return;
        } catch (const stomp::Error& e) {
          ADD_FAILURE() << e.what();
          return;
        }
      }
    });
  std::this_thread::sleep_for(200ms);
  producer.close();
  go = false;
  for (auto& t : late) t.join();
  consumer.close();
}

// A producer and a consumer on one shared I/O thread, senders on other
// threads: the consumer closing leaves the producer working, and the
// thread ends with the last of them.
TEST(StompConcurrency, ConnectionsOnOneSharedIoThread) {
  TestBroker broker("stomp-shared");
  stomp::ConnectionOptions o;
  o.receiptTimeout = 60s;
  o.ioThread = std::make_shared<stomp::IoThread>();
  std::weak_ptr<stomp::IoThread> io = o.ioThread;
  auto producer = std::make_unique<Connection>(broker.stompUri(), o);
  auto consumer = std::make_unique<Connection>(broker.stompUri(), o);
  o.ioThread.reset();
  producer->start();
  consumer->start();
  Received got;
  consumer->subscribe(Destination::queue("shared"), got.listener(), AckMode::ClientIndividual);

  constexpr int threads = 3, perThread = 40;
  std::vector<std::thread> senders;
  std::atomic<int> failures{0};
  for (int t = 0; t < threads; ++t)
    senders.emplace_back([&, t] {
      for (int i = 0; i < perThread; ++i) {
        try {
          producer
              ->sendAsync(Destination::queue("shared"), OutgoingMessage(std::to_string(t) + "-" + std::to_string(i)))
              .get();
        } catch (const stomp::Error&) {
          ++failures;
        }
      }
    });
  std::set<std::string> seen;
  for (int i = 0; i < threads * perThread; ++i) {
    auto m = got.next(30s);
    ASSERT_TRUE(m) << "after " << seen.size() << " messages";
    seen.insert(m->body());
    std::thread([&consumer, msg = *m] { consumer->ack(msg); }).join();
  }
  for (auto& s : senders) s.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(threads * perThread));

  consumer->close();
  consumer.reset();
  producer->send(Destination::queue("after"), OutgoingMessage("still up"));
  EXPECT_TRUE(producer->isConnected());
  producer->close();
  producer.reset();
  EXPECT_TRUE(io.expired());
}

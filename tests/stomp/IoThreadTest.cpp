// Connections sharing one I/O thread, and the thread's own lifetime.
#include "FakePeer.h"
#include "Received.h"
#include "ScriptedServing.h"
#include "stomp/Client.h"

#include <gtest/gtest.h>

#include <asio.hpp>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using stomp::Connection;
using stomp::Destination;
using stomp::OutgoingMessage;
using stomp::test::FakePeer;
using stomp::test::fast;
using stomp::test::PeerConnection;
using stomp::test::serve;
using stomp::test::Signal;

TEST(SharedIoThread, ConnectionsShareOneIoThread) {
  FakePeer first([](PeerConnection& c, int) { serve(c, 10s); });
  FakePeer second([](PeerConnection& c, int) { serve(c, 10s); });
  const auto q = Destination::queue("q");
  const std::size_t before = stomp::test::threadsOfThisProcess();
  auto o = fast();
  o.ioThread = std::make_shared<stomp::IoThread>();
  std::weak_ptr<stomp::IoThread> io = o.ioThread;
  auto a = std::make_unique<Connection>(first.uri(), o);
  auto b = std::make_unique<Connection>(second.uri(), o);
  o.ioThread.reset();  // the connections hold it now
  a->start();
  b->start();
  a->send(q, OutgoingMessage("1"));
  b->send(q, OutgoingMessage("1"));
  EXPECT_EQ(stomp::test::threadsOfThisProcess(), before + 1) << "one I/O thread; no delivery thread for senders";

  // A send callback of one runs on the thread of both: a blocking call on
  // the other would stall them all, so it is refused.
  std::promise<std::string> refused;
  a->sendAsync(q, OutgoingMessage("2"), [&](std::exception_ptr) {
    try {
      b->send(q, OutgoingMessage("3"));
      refused.set_value("not refused");
    } catch (const stomp::Error& e) {
      refused.set_value(e.what());
    }
  });
  const std::string text = refused.get_future().get();
  EXPECT_EQ(text, "send on '" + second.uri() + "' cannot block on the connection's own I/O thread (a send callback)");

  // One closes, the other goes on; the thread ends with the last of them.
  a->close();
  EXPECT_FALSE(a->isConnected());
  a.reset();
  b->send(q, OutgoingMessage("4"));
  EXPECT_TRUE(b->isConnected());
  EXPECT_FALSE(io.expired());
  b->close();
  b.reset();
  EXPECT_TRUE(io.expired());
  EXPECT_EQ(stomp::test::threadsOfThisProcess(), before) << "the shared I/O thread was not joined";
}

TEST(SharedIoThread, AnIoThreadDroppedOnItselfLetsGoWithoutJoiningItself) {
  auto io = std::make_shared<stomp::IoThread>();
  Signal released, dropped;
  asio::post(io->context(), [&, last = io]() mutable {
    released.waitFor(1, 5s);
    EXPECT_TRUE(last->onThread());
    last.reset();  // the last reference, on the thread itself
    dropped.set();
  });
  EXPECT_FALSE(io->onThread());
  io.reset();
  released.set();
  EXPECT_TRUE(dropped.waitFor(1, 5s));
}

TEST(SharedIoThread, TimersAndDeliveryTasksRunOnTheirThreadsInOrderAndNotAfterTheEnd) {
  auto io = std::make_shared<stomp::IoThread>();
  std::promise<bool> fired;
  io->runAfter(20ms, [&] { fired.set_value(io->onThread()); });
  EXPECT_TRUE(fired.get_future().get()) << "a timer ran off the I/O thread";
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> pending = token;
  io->runAfter(1h, [token] { ADD_FAILURE() << "a timer ran after its thread stopped"; });
  token.reset();
  io.reset();
  EXPECT_TRUE(pending.expired()) << "a timer not run was kept past its thread";

  FakePeer peer([](PeerConnection& c, int) { serve(c, 10s); });
  Connection c(peer.uri(), fast());
  c.start();
  std::mutex mutex;
  std::vector<int> order;
  std::set<std::thread::id> threads;
  Signal ran;
  for (int i = 0; i < 3; ++i)
    c.runOnDelivery([&, i] {
      std::lock_guard<std::mutex> lock(mutex);
      order.push_back(i);
      threads.insert(std::this_thread::get_id());
      ran.set();
    });
  ASSERT_TRUE(ran.waitFor(3, 5s));
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(threads.size(), 1u);
    EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
  }
  c.close();
  auto late = std::make_shared<int>(0);
  std::weak_ptr<int> dropped = late;
  c.runOnDelivery([late] { ADD_FAILURE() << "a task ran after close"; });
  late.reset();
  EXPECT_TRUE(dropped.expired());
}

// Transactions and confirmed acknowledgements against a real ActiveMQ.
#include "Received.h"
#include "stomp/Client.h"
#include "tests/common/TestBroker.h"

#include <gtest/gtest.h>

#include <future>
#include <set>

using namespace std::chrono_literals;
using mqb::test::TestBroker;
using stomp::AckMode;
using stomp::Connection;
using stomp::Destination;
using stomp::OutgoingMessage;
using stomp::test::Received;

namespace {

stomp::ConnectionOptions quick() {
  stomp::ConnectionOptions o;
  o.connectTimeout = 5s;
  o.receiptTimeout = 5s;
  return o;
}

OutgoingMessage in(const std::string& transaction, std::string body) {
  OutgoingMessage m(std::move(body));
  m.transaction = transaction;
  return m;
}

std::multiset<std::string> drain(Received& got, std::chrono::milliseconds quiet) {
  std::multiset<std::string> bodies;
  while (auto m = got.next(quiet)) bodies.insert(m->body());
  return bodies;
}

}  // namespace

TEST(BrokerTransaction, AbortedAndNeverCommittedSendsNeverArriveACommittedBatchDoes) {
  TestBroker broker("stomp-tx-send");
  const auto q = Destination::queue("batch");
  Connection consumer(broker.stompUri(), quick());
  consumer.start();
  Received got;
  consumer.subscribe(q, got.listener(), AckMode::AfterCallback);

  {
    Connection producer(broker.stompUri(), quick());
    producer.start();
    const std::string aborted = producer.beginTransaction();
    producer.send(q, in(aborted, "aborted"));
    producer.abort(aborted);
    const std::string open = producer.beginTransaction();
    producer.send(q, in(open, "never committed"));
    producer.close();  // the broker rolls the open transaction back
  }

  Connection producer(broker.stompUri(), quick());
  producer.start();
  const std::string batch = producer.beginTransaction();
  for (const char* body : {"c1", "c2", "c3"}) producer.send(q, in(batch, body));
  EXPECT_FALSE(got.next(700ms)) << "a message of an uncommitted transaction reached the consumer";
  producer.commit(batch);
  EXPECT_EQ(drain(got, 1500ms), (std::multiset<std::string>{"c1", "c2", "c3"}));
  EXPECT_THROW(producer.commit(batch), stomp::ConnectionLostError) << "a finished transaction is gone";

  // Pipelined: nothing waits until the COMMIT's receipt, which confirms all.
  const std::string piped = producer.beginAsync();
  for (const char* body : {"p1", "p2"}) producer.sendInTransaction(q, in(piped, body));
  EXPECT_FALSE(got.next(500ms)) << "a pipelined send arrived before its commit";
  std::promise<std::exception_ptr> committed, again;
  producer.commitAsync(piped, [&](std::exception_ptr e) { committed.set_value(e); });
  auto confirmation = committed.get_future();
  ASSERT_EQ(confirmation.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(confirmation.get()) << "the commit of a pipelined batch failed";
  EXPECT_EQ(drain(got, 1500ms), (std::multiset<std::string>{"p1", "p2"}));
  producer.commitAsync(piped, [&](std::exception_ptr e) { again.set_value(e); });
  std::exception_ptr gone = again.get_future().get();
  ASSERT_TRUE(gone);
  EXPECT_THROW(std::rethrow_exception(gone), stomp::ConnectionLostError);
  EXPECT_THROW(producer.sendInTransaction(q, OutgoingMessage("none")), stomp::Error);
}

TEST(BrokerTransaction, AcksOfALostTransactionComeAgainACommittedBatchOfRepliesAndAcksIsAllThere) {
  TestBroker broker("stomp-tx-ack");
  const auto requests = Destination::queue("requests");
  const auto replies = Destination::queue("replies");
  Connection sender(broker.stompUri(), quick());
  sender.start();
  for (const char* body : {"r1", "r2"}) sender.send(requests, OutgoingMessage(body));

  {
    Connection lost(broker.stompUri(), quick());
    lost.start();
    Received got;
    lost.subscribe(requests, got.listener(), AckMode::ClientIndividual);
    const std::string tx = lost.beginTransaction();
    for (int i = 0; i < 2; ++i) {
      auto m = got.next();
      ASSERT_TRUE(m);
      lost.send(replies, in(tx, "re " + m->body()));
      lost.ack(*m, tx);
    }
    lost.close();  // before COMMIT: replies and ACKs are rolled back
  }

  Connection worker(broker.stompUri(), quick());
  worker.start();
  Received again;
  worker.subscribe(requests, again.listener(), AckMode::ClientIndividual);
  const std::string tx = worker.beginTransaction();
  std::set<std::string> redelivered;
  for (int i = 0; i < 2; ++i) {
    auto m = again.next();
    ASSERT_TRUE(m) << "a request ACKed in a lost transaction was not delivered again";
    redelivered.insert(m->body());
    worker.send(replies, in(tx, "re " + m->body()));
    worker.ack(*m, tx);
  }
  EXPECT_EQ(redelivered, (std::set<std::string>{"r1", "r2"}));
  worker.commit(tx);
  worker.close();

  Connection checker(broker.stompUri(), quick());
  checker.start();
  Received left, answered;
  checker.subscribe(requests, left.listener(), AckMode::ClientIndividual);
  checker.subscribe(replies, answered.listener(), AckMode::AfterCallback);
  EXPECT_EQ(drain(answered, 1500ms), (std::multiset<std::string>{"re r1", "re r2"}));
  EXPECT_FALSE(left.next(500ms)) << "a request ACKed in a committed transaction came again";
}

TEST(BrokerTransaction, ConfirmedAcksAreSettledForGood) {
  TestBroker broker("stomp-ack-receipt");
  const auto q = Destination::queue("confirmed");
  Connection c(broker.stompUri(), quick());
  c.start();
  c.send(q, OutgoingMessage("one"));
  c.send(q, OutgoingMessage("two"));
  Received got;
  c.subscribe(q, got.listener(), AckMode::ClientIndividual);
  auto one = got.next(), two = got.next();
  ASSERT_TRUE(one && two);
  c.ackConfirmed(*one);
  std::promise<std::exception_ptr> confirmed;
  c.ackAsync(*two, [&](std::exception_ptr e) { confirmed.set_value(e); });
  EXPECT_EQ(confirmed.get_future().get(), nullptr);
  c.close();

  Connection again(broker.stompUri(), quick());
  again.start();
  Received none;
  again.subscribe(q, none.listener(), AckMode::ClientIndividual);
  EXPECT_FALSE(none.next(1500ms));
}

#include "bench/EchoResponder.h"

#include <signal.h>

#include <atomic>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bus/ConfirmationBatches.h"
#include "stomp/Client.h"

namespace bench {
namespace {

const std::string kReply = "{\"code\":200,\"data\":{},\"msg\":\"echo\"}\n";
// A reply that cannot be sent is retried this long (and at most this often)
// before the request is given up (and left unacknowledged, so the broker
// keeps it). No retry once the responder is stopping.
constexpr auto kRetryFor = std::chrono::seconds(60);
constexpr auto kRetryPause = std::chrono::milliseconds(100);
constexpr unsigned kMaxAttempts = 20;

struct Counters {
  std::atomic<uint64_t> handled{0};
  std::atomic<uint64_t> sendErrors{0};
  std::atomic<uint64_t> givenUp{0};
  std::atomic<bool> connectionLost{false};
  std::atomic<bool> stopping{false};
};

bool giveUp(const Counters& c, std::chrono::steady_clock::time_point giveUpAt, unsigned attempt) {
  return c.stopping || attempt >= kMaxAttempts || std::chrono::steady_clock::now() >= giveUpAt;
}

// Pipelined: the reply goes out without waiting; the request is acknowledged
// from the receipt's callback. A failed send is tried again from there.
// A send that fails at once (connection closed) calls back from within
// sendAsync, so the attempts are bounded in number as well as in time.
void sendPipelined(stomp::Connection& producer, stomp::Connection& consumer, const stomp::Destination& to,
                   const stomp::Message& request, std::shared_ptr<stomp::OutgoingMessage> reply, Counters& counters,
                   std::chrono::steady_clock::time_point giveUpAt, unsigned attempt) {
  producer.sendAsync(to, *reply,
                     [&producer, &consumer, to, request, reply, &counters, giveUpAt, attempt](std::exception_ptr e) {
                       if (!e) {
                         consumer.ack(request);
                         ++counters.handled;
                         return;
                       }
                       ++counters.sendErrors;
                       if (giveUp(counters, giveUpAt, attempt + 1)) {
                         ++counters.givenUp;
                         return;
                       }
                       sendPipelined(producer, consumer, to, request, reply, counters, giveUpAt, attempt + 1);
                     });
}

// Batched confirmations for one queue: the replies ready while a batch is
// being confirmed go out together in the next one. Batched: the replies in a
// transaction on the producer, then (once committed) each request's ACK with
// its own receipt, as the service does. Joint: replies and ACKs in one transaction on the consumer's
// connection. A failed commit leaves its requests unacknowledged: the broker
// delivers them again after the reconnection.
class BatchedEcho {
 public:
  BatchedEcho(stomp::Connection& producer, stomp::Connection& consumer, stomp::Destination replyTo, bool joint,
              unsigned maxBatch, Counters& counters)
      : producer_(producer),
        consumer_(consumer),
        replyTo_(std::move(replyTo)),
        joint_(joint),
        counters_(counters),
        batches_(maxBatch) {}

  void onRequest(const stomp::Message& m) {
    std::vector<stomp::Message> batch;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      batch = batches_.ready(m);
    }
    if (!batch.empty()) confirm(std::move(batch));
  }

 private:
  using Batch = std::shared_ptr<std::vector<stomp::Message>>;

  void confirm(std::vector<stomp::Message> messages) {
    auto batch = std::make_shared<std::vector<stomp::Message>>(std::move(messages));
    stomp::Connection& sender = joint_ ? consumer_ : producer_;
    const std::string tx = sender.beginAsync();
    for (const stomp::Message& m : *batch) {
      stomp::OutgoingMessage reply(kReply, replyCorrelationId(m.correlationId(), m.messageId()));
      reply.transaction = tx;
      sender.sendInTransaction(replyTo_, reply);
      if (joint_) consumer_.ack(m, tx);
    }
    sender.commitAsync(tx, [this, batch](std::exception_ptr e) {
      if (e || joint_) return ended(batch, e);
      // Each ACK confirmed on its own, as the service does: ACKs in
      // transactions slow the broker's STOMP side down over a long run.
      for (const stomp::Message& m : *batch)
        consumer_.ackAsync(m, [this](std::exception_ptr ackError) {
          if (ackError)
            ++counters_.sendErrors;
          else
            ++counters_.handled;
        });
      ended(batch, nullptr, false);
    });
  }

  void ended(const Batch& batch, std::exception_ptr e, bool count = true) {
    if (e)
      counters_.sendErrors += batch->size();
    else if (count)
      counters_.handled += batch->size();
    std::vector<stomp::Message> next;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      next = batches_.finished();
    }
    if (!next.empty()) confirm(std::move(next));
  }

  stomp::Connection& producer_;
  stomp::Connection& consumer_;
  const stomp::Destination replyTo_;
  const bool joint_;
  Counters& counters_;
  std::mutex mutex_;
  ConfirmationBatches<stomp::Message> batches_;
};

const char* confirmName(EchoConfirm c) {
  switch (c) {
    case EchoConfirm::Each:
      return "one reply at a time";
    case EchoConfirm::Pipelined:
      return "pipelined";
    case EchoConfirm::Batched:
      return "batched";
    case EchoConfirm::Joint:
      return "joint transactions";
  }
  return "?";
}

}  // namespace

std::string replyCorrelationId(const std::string& correlationId, const std::string& messageId) {
  return correlationId.empty() ? messageId : correlationId;
}

int runEcho(const EchoOptions& o, const BrokerSettings& settings) {
  // Signals are taken by sigwait on this thread; block them before any
  // library thread exists so that none of those receives them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  const std::string uri = o.brokerUri.empty() ? settings.brokerUri : o.brokerUri;
  if (uri.empty()) throw stomp::UriError("no broker URI: the config has no brokerURI and no --broker was given");
  stomp::ConnectionOptions options;
  options.login = settings.login;
  options.passcode = settings.passcode;
  options.receiptTimeout = o.receiptTimeout;

  Counters counters;
  // One connection per producer and per consumer, as the service has.
  std::vector<std::unique_ptr<stomp::Connection>> producers, consumers;
  std::vector<std::unique_ptr<BatchedEcho>> batched;
  for (int q = 0; q < kQueueCount; ++q) {
    producers.push_back(std::make_unique<stomp::Connection>(uri, options));
    producers.back()->start();
  }
  for (int q = 0; q < kQueueCount; ++q) {
    consumers.push_back(std::make_unique<stomp::Connection>(uri, options));
    stomp::Connection& consumer = *consumers.back();
    stomp::Connection& producer = *producers[q];
    const stomp::Destination replyTo = stomp::Destination::queue(settings.callbackQueues[q]);
    consumer.setExceptionListener([&counters](const stomp::Error& e) {
      std::cerr << "echo: consumer connection lost: " << e.what() << std::endl;
      counters.connectionLost = true;
    });
    consumer.start();
    stomp::Headers extra;
    if (o.prefetch > 0) extra.emplace_back("activemq.prefetchSize", std::to_string(o.prefetch));
    if (o.confirm == EchoConfirm::Batched || o.confirm == EchoConfirm::Joint) {
      batched.push_back(std::make_unique<BatchedEcho>(producer, consumer, replyTo, o.confirm == EchoConfirm::Joint,
                                                      o.batch, counters));
      consumer.subscribe(
          stomp::Destination::queue(settings.requestQueues[q]),
          [echo = batched.back().get(), work = o.work](const stomp::Message& m) {
            if (work.count() > 0) std::this_thread::sleep_for(work);
            echo->onRequest(m);
          },
          stomp::AckMode::ClientIndividual, extra);
    } else if (o.confirm == EchoConfirm::Pipelined) {
      consumer.subscribe(
          stomp::Destination::queue(settings.requestQueues[q]),
          [&producer, &consumer, replyTo, &counters, work = o.work](const stomp::Message& m) {
            if (work.count() > 0) std::this_thread::sleep_for(work);
            auto reply =
                std::make_shared<stomp::OutgoingMessage>(kReply, replyCorrelationId(m.correlationId(), m.messageId()));
            sendPipelined(producer, consumer, replyTo, m, reply, counters, std::chrono::steady_clock::now() + kRetryFor,
                          0);
          },
          stomp::AckMode::ClientIndividual, extra);
    } else {
      consumer.subscribe(
          stomp::Destination::queue(settings.requestQueues[q]),
          [&producer, &consumer, replyTo, &counters, work = o.work](const stomp::Message& m) {
            if (work.count() > 0) std::this_thread::sleep_for(work);
            const stomp::OutgoingMessage reply(kReply, replyCorrelationId(m.correlationId(), m.messageId()));
            const auto giveUpAt = std::chrono::steady_clock::now() + kRetryFor;
            for (unsigned attempt = 1;; ++attempt) {
              try {
                producer.send(replyTo, reply);  // returns once the broker has it
                consumer.ack(m);
                ++counters.handled;
                return;
              } catch (const stomp::Error& e) {
                ++counters.sendErrors;
                if (giveUp(counters, giveUpAt, attempt)) {
                  std::cerr << "echo: giving up a reply: " << e.what() << std::endl;
                  ++counters.givenUp;
                  return;  // not acknowledged: the broker keeps the request
                }
                std::this_thread::sleep_for(kRetryPause);
              }
            }
          },
          stomp::AckMode::ClientIndividual, extra);
    }
  }
  std::cout << "echo ready (" << confirmName(o.confirm) << " per queue)" << std::endl;

  int signal = 0;
  sigwait(&stopSignals, &signal);
  counters.stopping = true;
  for (auto& c : consumers) c->close();
  for (auto& p : producers) p->close();
  std::cout << "echo: handled " << counters.handled << ", send errors " << counters.sendErrors << ", given up "
            << counters.givenUp << std::endl;
  return counters.connectionLost ? 1 : 0;
}

}  // namespace bench

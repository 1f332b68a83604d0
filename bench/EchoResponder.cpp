#include "bench/EchoResponder.h"

#include <signal.h>

#include <atomic>
#include <iostream>
#include <memory>
#include <thread>
#include <vector>

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
  producer.sendAsync(to, *reply, [&producer, &consumer, to, request, reply, &counters, giveUpAt, attempt](std::exception_ptr e) {
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
    if (o.pipeline) {
      consumer.subscribe(
          stomp::Destination::queue(settings.requestQueues[q]),
          [&producer, &consumer, replyTo, &counters, work = o.work](const stomp::Message& m) {
            if (work.count() > 0) std::this_thread::sleep_for(work);
            auto reply = std::make_shared<stomp::OutgoingMessage>(kReply, replyCorrelationId(m.correlationId(), m.messageId()));
            sendPipelined(producer, consumer, replyTo, m, reply, counters, std::chrono::steady_clock::now() + kRetryFor, 0);
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
  std::cout << "echo ready (" << (o.pipeline ? "pipelined" : "one reply at a time") << " per queue)" << std::endl;

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

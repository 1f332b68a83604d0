#include "bench/LoadRun.h"

#include <unistd.h>

#include <functional>
#include <memory>
#include <thread>

#include "stomp/Client.h"

namespace bench {
namespace {

using Clock = ReplyTracker::Clock;

std::string madeUpRunId() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return "b" + std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(now).count()) + "." +
         std::to_string(::getpid());
}

std::string errorText(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace

RunResult runLoad(const RunOptions& o, const BrokerSettings& settings) {
  RunResult result;
  result.options = o;
  result.runId = o.runId.empty() ? madeUpRunId() : o.runId;
  result.brokerUri = o.brokerUri.empty() ? settings.brokerUri : o.brokerUri;
  if (result.brokerUri.empty())
    throw stomp::UriError("no broker URI: the config has no brokerURI and no --broker was given");

  const RequestMix mix(o.mix);
  const uint64_t total = o.warmup + o.requests;
  ReplyTracker tracker(result.runId, o.targets, settings, o.check, total, o.warmup, o.allowedCodes);

  stomp::ConnectionOptions connection;
  connection.login = settings.login;
  connection.passcode = settings.passcode;
  connection.receiptTimeout = o.receiptTimeout;

  // Replies first, so that no reply can arrive before its queue is read.
  stomp::Connection replies(result.brokerUri, connection);
  replies.start();
  for (int q = 0; q < kQueueCount; ++q) {
    const std::string queueName = settings.callbackQueues[q];
    replies.subscribe(stomp::Destination::queue(queueName),
                      [&tracker, queueName](const stomp::Message& m) {
                        tracker.reply(m.correlationId(), m.messageId(), queueName, m.body());
                      },
                      stomp::AckMode::AfterCallback, {{"activemq.prefetchSize", std::to_string(o.prefetch)}});
  }

  stomp::Connection requests(result.brokerUri, connection);
  requests.start();
  std::vector<stomp::Destination> requestQueues;
  for (int q = 0; q < kQueueCount; ++q) requestQueues.push_back(stomp::Destination::queue(settings.requestQueues[q]));

  // A failed send goes out again from the receipt callback (on the client's
  // I/O thread; sendAsync does not block), at most o.resends times.
  std::function<void(uint64_t, std::shared_ptr<stomp::OutgoingMessage>, const stomp::Destination&, unsigned)> attempt;
  attempt = [&](uint64_t sequence, std::shared_ptr<stomp::OutgoingMessage> message, const stomp::Destination& to,
                unsigned tries) {
    requests.sendAsync(to, *message, [&, sequence, message, to, tries](std::exception_ptr error) {
      if (error && tries < o.resends) {
        tracker.resending(sequence, errorText(error));
        attempt(sequence, message, to, tries + 1);
        return;
      }
      tracker.sendDone(sequence, !error, error ? errorText(error) : std::string());
    });
  };
  auto sendOne = [&](uint64_t sequence, Clock::time_point start) {
    const RequestKind kind = mix.kindAt(sequence);
    const std::string id = tracker.idOf(sequence);
    auto message = std::make_shared<stomp::OutgoingMessage>(requestText(kind, id, o.targets), id);
    tracker.sent(sequence, kind, start);
    attempt(sequence, message, requestQueues[queueOf(kind)], 0);
  };

  // Warm-up: closed loop, fully drained, not measured (but checked).
  for (uint64_t s = 0; s < o.warmup; ++s) {
    tracker.waitWindow(o.window);
    sendOne(s, Clock::now());
  }
  if (o.warmup > 0) tracker.drainUpTo(o.warmup, o.drainIdle);

  if (o.rate > 0) {
    // Latency counts from the planned send time, so a stall of the sender
    // shows up in the figures instead of hiding.
    const auto t0 = Clock::now();
    const double period = 1.0 / o.rate;
    for (uint64_t i = 0; i < o.requests; ++i) {
      const auto planned = t0 + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(period * static_cast<double>(i)));
      std::this_thread::sleep_until(planned);
      sendOne(o.warmup + i, planned);
    }
  } else {
    for (uint64_t i = 0; i < o.requests; ++i) {
      tracker.waitWindow(o.window);
      sendOne(o.warmup + i, Clock::now());
    }
  }

  result.drained = tracker.drain(o.drainIdle);
  if (o.linger.count() > 0) std::this_thread::sleep_for(o.linger);
  requests.close();
  replies.close();

  result.counts = tracker.counts();
  result.latency = summarize(tracker.latencies());
  result.seconds = tracker.measuredSeconds();
  uint64_t measuredAnswers = result.latency.count;
  result.throughput = result.seconds > 0 ? static_cast<double>(measuredAnswers) / result.seconds : 0;
  return result;
}

}  // namespace bench

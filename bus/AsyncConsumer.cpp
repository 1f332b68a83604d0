#include "bus/AsyncConsumer.h"

#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "bus/BrokerSettings.h"
#include "support/Console.h"
#include "support/DailyLog.h"
#include "support/Metrics.h"
#include "support/PasswordMask.h"

AsyncConsumer::AsyncConsumer(const ServiceConfig& config, InFlight& inFlight, RequestHandler handler,
                             FatalHandler onFatal, ReplyLedger ledger)
    : config_(config),
      inFlight_(inFlight),
      handler_(std::move(handler)),
      onFatal_(std::move(onFatal)),
      ledger_(std::move(ledger)) {}

void AsyncConsumer::configure(const std::string& uri, const std::string& queue, bool topic, bool isTransacted) {
  close();
  brokerURI = uri;
  destURI = queue;
  useTopic = topic;
  transacted = isTransacted;
}

bool AsyncConsumer::start() {
  try {
    // Every message is acknowledged once handled; a transacted session
    // would add nothing, and silently ignoring the flag would be worse.
    if (transacted) throw std::invalid_argument("transacted consumers are not supported");
    connection = std::make_unique<stomp::Connection>(brokerURI, brokerOptions(config_));
    connection->setExceptionListener([this](const stomp::Error& e) { onException(e); });
    connection->setTransportListener({[this] { transportInterrupted(); }, [this] { transportResumed(); }});
    connection->start();
    ReplyConfirmer::Settings settings;
    settings.maxBatch = config_.requestWindow;
    const std::string queue = destURI;
    auto confirmer = std::make_unique<ReplyConfirmer>(
        destURI, *connection, inFlight_, brokerOptions(config_).ioThread, settings,
        [this, queue](const ReplyConfirmer::Batch& batch, std::function<void(bool)> done) {
          if (!ledger_.confirmed) return done(true);
          ledger_.confirmed(queue, batch, std::move(done));
        },
        [this, queue](const std::string& messageId) {
          if (ledger_.acknowledged) ledger_.acknowledged(queue, messageId);
        },
        [this, queue](const ReplyConfirmer::Item& item, const std::string& why, std::function<void(bool)> done) {
          if (!ledger_.refused) return done(true);
          ledger_.refused(queue, item, why, std::move(done));
        });
    {
      std::lock_guard<std::mutex> lock(settling_);
      confirmer_ = std::move(confirmer);
    }
    subscribe();
    listening_ = true;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Consumer %s: %s\n", destURI.c_str(), e.what());
    writeLog("Consumer destURI:%s start fail\n", destURI.c_str());
  }
  std::fflush(stdout);
  std::fflush(stderr);
  return listening_;
}

void AsyncConsumer::subscribe() {
  // The window: the broker hands out at most this many requests not yet
  // acknowledged, so a stop hands back at most that many (marked
  // redelivered), and other readers of the queue get their share.
  subscriptionId_ = connection->subscribe(
      brokerDestination(destURI, useTopic), [this](const stomp::Message& m) { onMessage(m); },
      stomp::AckMode::ClientIndividual, {{"activemq.prefetchSize", std::to_string(config_.requestWindow)}});
}

void AsyncConsumer::suspend() {
  if (!connection || subscriptionId_.empty()) return;
  // The connection drops what it still holds of the subscription, and
  // refuses its acknowledgements without sending them.
  connection->unsubscribe(subscriptionId_);
  subscriptionId_.clear();
}

bool AsyncConsumer::resume() {
  if (!connection || !subscriptionId_.empty()) return connection != nullptr;
  try {
    subscribe();
    return true;
  } catch (const std::exception& e) {
    writeLog("Consumer destURI:%s subscribe again fail: %s\n", destURI.c_str(), e.what());
    return false;
  }
}

bool AsyncConsumer::drain(std::chrono::steady_clock::time_point deadline) {
  return !confirmer_ || confirmer_->drain(deadline);
}

void AsyncConsumer::close() {
  listening_ = false;
  subscriptionId_.clear();
  if (!connection) return;
  try {
    connection->close();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Consumer %s: close: %s\n", destURI.c_str(), e.what());
  }
  // After the connection: no callback of it runs any more. A settlement
  // told by the journal from now on finds no stage.
  std::unique_ptr<ReplyConfirmer> confirmer;
  {
    std::lock_guard<std::mutex> lock(settling_);
    confirmer = std::move(confirmer_);
    held_.clear();
    rework_.clear();
  }
  confirmer.reset();
  connection.reset();
}

void AsyncConsumer::onMessage(const stomp::Message& message) {
  static const std::string notText(kNotText);
  runRework();  // what came before this delivery goes first
  try {
    Delivery delivery;
    delivery.queue = destURI;
    delivery.text = message.isText() ? message.body() : notText;
    delivery.messageId = message.messageId();
    delivery.correlationId = replyCorrelationId(message);
    delivery.redelivered = message.redelivered();
    delivery.timestampMs = brokerTimestampMs(message);
    const std::string shown = maskPasswords(delivery.text);
    consolePrint("destURI #%s Received: %s\n", destURI.c_str(), shown.c_str());
    writeLog("destURI #%s Received: %s\n", destURI.c_str(), shown.c_str());
    // After a broker restart a delivery again need not be marked redelivered.
    bool adopted = false;
    {
      std::lock_guard<std::mutex> lock(settling_);
      auto held = held_.find(delivery.messageId);
      if (held != held_.end())
        held->second = message;  // its settlement is still to come: this delivery is the one it settles
      else
        adopted = confirmer_ && confirmer_->adopt(message);
      adopted = adopted || held != held_.end();
    }
    if (adopted) {
      consolePrint("destURI #%s Redelivered %s: its reply is being confirmed; acknowledged with it\n", destURI.c_str(),
                   delivery.messageId.c_str());
      writeLog("destURI #%s Redelivered %s: its reply is being confirmed; acknowledged with it\n", destURI.c_str(),
               delivery.messageId.c_str());
      return;
    }
    // Held until the request is settled or handed to the confirmation
    // stage, so that a stop waits for it; once stopping, none is taken.
    if (!inFlight_.enter()) return;
    auto ticket = std::make_shared<InFlightTicket>(inFlight_);
    settle(message, delivery, handler_ ? handler_(delivery) : Settlement::acknowledge(), std::move(ticket));
  } catch (const std::exception& e) {
    reportFailure("Request failed", e.what());
  } catch (...) {
    reportFailure("Request failed", "unknown error");
  }
}

void AsyncConsumer::settle(const stomp::Message& message, const Delivery& delivery, Settlement settlement,
                           std::shared_ptr<InFlightTicket> ticket) {
  switch (settlement.step) {
    case Settlement::Step::Leave:
      return;
    case Settlement::Step::Acknowledge:
      if (connection) connection->ack(message);
      if (ledger_.acknowledged) ledger_.acknowledged(destURI, delivery.messageId);
      return;
    case Settlement::Step::Confirm: {
      std::lock_guard<std::mutex> lock(settling_);
      if (!confirmer_) return;  // not started, or closed: the broker delivers it again
      submitLocked(message, delivery, std::move(settlement));
      return;
    }
    case Settlement::Step::Later: {
      {
        std::lock_guard<std::mutex> lock(settling_);
        held_.insert_or_assign(delivery.messageId, message);
      }
      settlement.pending->then(
          [this, delivery, ticket](Settlement told) { settleHeld(delivery, std::move(told), ticket); });
      return;
    }
    case Settlement::Step::Again: {
      std::lock_guard<std::mutex> lock(settling_);
      if (!confirmer_) return;
      held_.try_emplace(delivery.messageId, message);  // a newer delivery kept meanwhile stays
      rework_.push_back([this, delivery, again = std::move(settlement.again), ticket] {
        std::optional<stomp::Message> newest = takeHeld(delivery.messageId);
        if (newest) settle(*newest, delivery, again(), ticket);
      });
      // Run before the next delivery, or by this task when none comes;
      // dropped with the connection's close (delivered again to the next
      // start).
      connection->runOnDelivery([this] { runRework(); });
      return;
    }
  }
}

void AsyncConsumer::settleHeld(const Delivery& delivery, Settlement told, std::shared_ptr<InFlightTicket> ticket) {
  if (told.step == Settlement::Step::Confirm) {
    // Taken out and handed to the stage under one lock, so that a delivery
    // again in between finds it in one place or the other.
    std::lock_guard<std::mutex> lock(settling_);
    auto held = held_.find(delivery.messageId);
    if (held == held_.end() || !confirmer_) return;
    const stomp::Message newest = std::move(held->second);
    held_.erase(held);
    submitLocked(newest, delivery, std::move(told));
    return;
  }
  std::optional<stomp::Message> newest;
  {
    std::lock_guard<std::mutex> lock(settling_);
    auto held = held_.find(delivery.messageId);
    if (held == held_.end()) return;
    newest = held->second;
  }
  if (told.step != Settlement::Step::Again) takeHeld(delivery.messageId);
  settle(*newest, delivery, std::move(told), std::move(ticket));
}

void AsyncConsumer::runRework() {
  for (;;) {
    std::function<void()> task;
    {
      std::lock_guard<std::mutex> lock(settling_);
      if (rework_.empty()) return;
      task = std::move(rework_.front());
      rework_.pop_front();
    }
    try {
      task();
    } catch (const std::exception& e) {
      reportFailure("Request failed", e.what());
    }
  }
}

std::optional<stomp::Message> AsyncConsumer::takeHeld(const std::string& messageId) {
  std::lock_guard<std::mutex> lock(settling_);
  auto held = held_.find(messageId);
  if (held == held_.end()) return std::nullopt;
  stomp::Message newest = std::move(held->second);
  held_.erase(held);
  return newest;
}

void AsyncConsumer::submitLocked(const stomp::Message& message, const Delivery& delivery, Settlement settlement) {
  confirmer_->submit(ReplyConfirmer::Item{message, delivery.messageId, delivery.correlationId,
                                          std::move(settlement.reply), settlement.channel,
                                          std::chrono::steady_clock::now()});
}

void AsyncConsumer::reportFailure(const char* what, const char* detail) {
  // Also on lack of memory: both writers format into fixed stdio buffers.
  consolePrint("destURI #%s %s: %s\n", destURI.c_str(), what, detail);
  writeLog("destURI #%s %s: %s\n", destURI.c_str(), what, detail);
}

void AsyncConsumer::onException(const stomp::Error& error) {
  if (onFatal_) onFatal_(error);
  terminateOnBrokerError(error);
}

void AsyncConsumer::transportInterrupted() {
  serviceMetrics().connectionUp(destURI, false);
  consolePrint("The Connection's Transport has been Interrupted.\n");
}

void AsyncConsumer::transportResumed() {
  serviceMetrics().connectionUp(destURI, true);
  serviceMetrics().connectionReconnected(destURI);
  consolePrint("The Connection's Transport has been Restored.\n");
}

void terminateOnBrokerError(const stomp::Error& error) {
  std::fprintf(stderr, "%s\n", error.what());
  std::fflush(stderr);
  consolePrint("CMS Exception occurred.  Shutting down client.\n");
  std::fflush(stdout);
  ::_exit(1);
}

int64_t brokerTimestampMs(const stomp::Message& message) {
  const std::optional<std::string> value = message.header("timestamp");
  if (!value || value->empty() || value->find_first_not_of("0123456789") != std::string::npos) return 0;
  try {
    return std::stoll(*value);
  } catch (const std::exception&) {
    return 0;
  }
}

std::string replyCorrelationId(const stomp::Message& message) {
  std::string id = message.correlationId();
  return id.empty() ? message.messageId() : id;
}

#include "bus/AsyncConsumer.h"

#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "bus/BrokerSettings.h"
#include "support/Console.h"
#include "support/DailyLog.h"
#include "support/Metrics.h"
#include "support/PasswordMask.h"

AsyncConsumer::AsyncConsumer(const ServiceConfig& config, RequestHandler handler, FatalHandler onFatal,
                             AcknowledgedHandler onAcknowledged)
    : config_(config),
      handler_(std::move(handler)),
      onFatal_(std::move(onFatal)),
      onAcknowledged_(std::move(onAcknowledged)) {}

void AsyncConsumer::configure(const std::string& uri, const std::string& queue, bool topic,
                              bool isTransacted) {
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
    // One message at a time: a stop hands back at most the one the broker
    // sent after the last ACK (instead of a whole prefetched batch marked
    // redelivered), other readers of the queue get their share, and large
    // requests are not buffered in bulk.
    connection->subscribe(brokerDestination(destURI, useTopic),
                          [this](const stomp::Message& m) { onMessage(m); },
                          stomp::AckMode::ClientIndividual, {{"activemq.prefetchSize", "1"}});
    listening_ = true;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Consumer %s: %s\n", destURI.c_str(), e.what());
    writeLog("Consumer destURI:%s start fail\n", destURI.c_str());
  }
  std::fflush(stdout);
  std::fflush(stderr);
  return listening_;
}

void AsyncConsumer::close() {
  listening_ = false;
  if (!connection) return;
  try {
    connection->close();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Consumer %s: close: %s\n", destURI.c_str(), e.what());
  }
  connection.reset();
}

void AsyncConsumer::onMessage(const stomp::Message& message) {
  static const std::string notText(kNotText);
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
    if (handler_ && !handler_(delivery)) return;
    if (connection) connection->ack(message);
    if (onAcknowledged_) onAcknowledged_(delivery);
  } catch (const std::exception& e) {
    reportFailure("Request failed", e.what());
  } catch (...) {
    reportFailure("Request failed", "unknown error");
  }
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

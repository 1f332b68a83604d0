#include "bus/AsyncConsumer.h"

#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "bus/BrokerSettings.h"
#include "support/Console.h"
#include "support/DailyLog.h"
#include "support/PasswordMask.h"

AsyncConsumer::AsyncConsumer(const ServiceConfig& config, RequestHandler handler, FatalHandler onFatal)
    : config_(config), handler_(std::move(handler)), onFatal_(std::move(onFatal)) {}

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
                          stomp::AckMode::AfterCallback, {{"activemq.prefetchSize", "1"}});
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
    const std::string id = message.messageId();
    if (!id.empty() && !handled_.remember(id)) {  // the broker's ids are unique: a second delivery
      consolePrint("destURI #%s Redelivered %s: handled already, not carried out again\n", destURI.c_str(),
                   id.c_str());
      writeLog("destURI #%s Redelivered %s: handled already, not carried out again\n", destURI.c_str(), id.c_str());
      return;
    }
    if (message.redelivered()) {
      // Delivered before to a reader that ended without its ACK (a crash, or
      // a stop right after the previous ACK): whether it was carried out
      // cannot be told here. Marked for reconciliation; carrying it out is
      // what loses nothing.
      consolePrint("destURI #%s Redelivered %s: not seen by this process, carried out; check for a duplicate\n",
                   destURI.c_str(), id.c_str());
      writeLog("destURI #%s Redelivered %s: not seen by this process, carried out; check for a duplicate\n",
               destURI.c_str(), id.c_str());
    }
    const std::string& text = message.isText() ? message.body() : notText;
    const std::string shown = maskPasswords(text);
    consolePrint("destURI #%s Received: %s\n", destURI.c_str(), shown.c_str());
    writeLog("destURI #%s Received: %s\n", destURI.c_str(), shown.c_str());
    if (handler_) handler_(destURI, text, replyCorrelationId(message));
  } catch (const stomp::Error& e) {
    // Only the reply goes to the broker: the request was carried out, and
    // the producer has logged the reply whole. Redelivery would repeat it.
    reportFailure("Reply not sent", e.what());
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
  consolePrint("The Connection's Transport has been Interrupted.\n");
}

void AsyncConsumer::transportResumed() { consolePrint("The Connection's Transport has been Restored.\n"); }

void terminateOnBrokerError(const stomp::Error& error) {
  std::fprintf(stderr, "%s\n", error.what());
  std::fflush(stderr);
  consolePrint("CMS Exception occurred.  Shutting down client.\n");
  std::fflush(stdout);
  ::_exit(1);
}

std::string replyCorrelationId(const stomp::Message& message) {
  std::string id = message.correlationId();
  return id.empty() ? message.messageId() : id;
}

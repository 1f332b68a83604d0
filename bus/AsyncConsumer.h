#pragma once
// Listens on one request queue: one broker connection, messages handled one
// at a time on the connection's delivery thread and acknowledged when their
// handler says so (their reply is confirmed). A connection lost for good ends
// the process.
#include <functional>
#include <memory>
#include <string>

#include "bus/Delivery.h"
#include "host/ServiceConfig.h"
#include "stomp/Client.h"

class AsyncConsumer {
 public:
  // Carries out one request; true when it may be acknowledged. A message
  // left unacknowledged is delivered again after the connection ends.
  using RequestHandler = std::function<bool(const Delivery& delivery)>;
  // Told after a delivery's acknowledgement went out.
  using AcknowledgedHandler = std::function<void(const Delivery& delivery)>;
  // Called when the connection is lost for good, before the process ends
  // (e.g. to restore the terminal); the process ends when it returns.
  using FatalHandler = std::function<void(const stomp::Error&)>;

  // The text shown and routed for a message that is not a text message.
  static constexpr const char* kNotText = "NOT A TEXTMESSAGE!";

  // Credentials are read from config at every start.
  AsyncConsumer(const ServiceConfig& config, RequestHandler handler, FatalHandler onFatal = {},
                AcknowledgedHandler onAcknowledged = {});
  virtual ~AsyncConsumer() { close(); }

  AsyncConsumer(const AsyncConsumer&) = delete;
  AsyncConsumer& operator=(const AsyncConsumer&) = delete;

  // Stores the settings and drops any open connection; opens nothing.
  void configure(const std::string& brokerURI, const std::string& destURI, bool useTopic,
                 bool transacted);
  // Connects and subscribes. False after a broker error, which is printed
  // on standard error and logged.
  bool start();
  // Stops delivery (a message being handled is finished and acknowledged
  // first) and releases the connection; any number of times.
  void close();

  // Called on the delivery thread; never throws. Prints and logs
  // "destURI #%s Received: %s\n" (passwords masked), then runs the handler
  // and acknowledges the message when it returns true. A handler that throws
  // is reported on the console and in the daily log ("Request failed") and
  // its message is left unacknowledged: nothing is lost.
  void onMessage(const stomp::Message& message);
  void onException(const stomp::Error& error);
  void transportInterrupted();
  void transportResumed();

  const std::string& destination() const { return destURI; }
  bool listening() const { return connection != nullptr && listening_; }

 private:
  void reportFailure(const char* what, const char* detail);

  std::unique_ptr<stomp::Connection> connection;
  bool useTopic = false;
  bool transacted = false;
  std::string brokerURI;
  std::string destURI;

  const ServiceConfig& config_;
  RequestHandler handler_;
  FatalHandler onFatal_;
  AcknowledgedHandler onAcknowledged_;
  bool listening_ = false;
};

// Prints "CMS Exception occurred.  Shutting down client.\n" (after the cause,
// on standard error), flushes and ends the process at once with status 1:
// no exit-time destructor runs while broker threads still use the objects.
[[noreturn]] void terminateOnBrokerError(const stomp::Error& error);

// When the broker took the message (its "timestamp" header, ms since the
// epoch); 0 when it does not say.
int64_t brokerTimestampMs(const stomp::Message& message);

// The correlation id a reply to message must carry: the request's
// correlation-id, else its message id.
std::string replyCorrelationId(const stomp::Message& message);

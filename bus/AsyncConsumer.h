#pragma once
// Listens on one request queue: one broker connection, messages handled one
// at a time on the connection's delivery thread and acknowledged once their
// handling has returned. A connection lost for good ends the process.
#include <functional>
#include <memory>
#include <string>

#include "bus/RecentDeliveries.h"
#include "host/ServiceConfig.h"
#include "stomp/Client.h"

class AsyncConsumer {
 public:
  // Carries out one request: the queue name, the message text and the
  // correlation id its reply must carry.
  using RequestHandler =
      std::function<void(const std::string& queue, const std::string& text, const std::string& correlationId)>;
  // Called when the connection is lost for good, before the process ends
  // (e.g. to restore the terminal); the process ends when it returns.
  using FatalHandler = std::function<void(const stomp::Error&)>;

  // The text shown and routed for a message that is not a text message.
  static constexpr const char* kNotText = "NOT A TEXTMESSAGE!";

  // Credentials are read from config at every start.
  AsyncConsumer(const ServiceConfig& config, RequestHandler handler, FatalHandler onFatal = {});
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
  // "destURI #%s Received: %s\n" (passwords masked), then runs the handler.
  // A failure of the handler is reported on the console and in the daily
  // log ("Request failed", or "Reply not sent" for a broker error on the
  // reply); the message still counts as handled (no redelivery). A
  // message delivered again that this consumer has handled already (its ACK
  // was lost with the connection; a restarted broker may not even mark it
  // redelivered) is acknowledged without being carried out again; its reply,
  // if it could not be sent, is in the daily log. A redelivered message not
  // seen before is carried out, with a line marking it for reconciliation.
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
  bool listening_ = false;
  RecentDeliveries handled_;
};

// Prints "CMS Exception occurred.  Shutting down client.\n" (after the cause,
// on standard error), flushes and ends the process at once with status 1:
// no exit-time destructor runs while broker threads still use the objects.
[[noreturn]] void terminateOnBrokerError(const stomp::Error& error);

// The correlation id a reply to message must carry: the request's
// correlation-id, else its message id.
std::string replyCorrelationId(const stomp::Message& message);

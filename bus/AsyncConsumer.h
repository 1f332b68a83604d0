#pragma once
// Listens on one request queue: one broker connection, requests carried out
// one at a time in arrival order on the connection's delivery thread, up to a
// window of them unacknowledged. A request whose reply is ready goes to the
// queue's confirmation stage and the next one is taken meanwhile; it is
// acknowledged once its reply is confirmed. A connection lost for good ends
// the process.
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <unordered_map>
#include <optional>
#include <mutex>
#include <string>

#include "bus/Delivery.h"
#include "bus/InFlight.h"
#include "bus/ReplyConfirmer.h"
#include "host/ServiceConfig.h"
#include "stomp/Client.h"

class AsyncConsumer {
 public:
  // Carries out one request and says what becomes of it. A message left
  // unacknowledged is delivered again after the connection ends.
  using RequestHandler = std::function<Settlement(const Delivery& delivery)>;
  // Told what became of the replies sent: confirmed (done(true) once
  // recorded; a batch not recorded is not acknowledged) and acknowledged.
  struct ReplyLedger {
    std::function<void(const std::string& queue, const ReplyConfirmer::Batch&, std::function<void(bool)> done)>
        confirmed;
    std::function<void(const std::string& queue, const std::string& messageId)> acknowledged;
    std::function<void(const std::string& queue, const ReplyConfirmer::Item&, const std::string& why,
                       std::function<void(bool)> done)>
        refused;
  };
  // Called when the connection is lost for good, before the process ends
  // (e.g. to restore the terminal); the process ends when it returns.
  using FatalHandler = std::function<void(const stomp::Error&)>;

  // The text shown and routed for a message that is not a text message.
  static constexpr const char* kNotText = "NOT A TEXTMESSAGE!";

  // Credentials are read from config at every start.
  // inFlight tells the confirmation stage when the service stops.
  AsyncConsumer(const ServiceConfig& config, InFlight& inFlight, RequestHandler handler, FatalHandler onFatal = {},
                ReplyLedger ledger = {});
  virtual ~AsyncConsumer() { close(); }

  AsyncConsumer(const AsyncConsumer&) = delete;
  AsyncConsumer& operator=(const AsyncConsumer&) = delete;

  // Stores the settings and drops any open connection; opens nothing.
  void configure(const std::string& brokerURI, const std::string& destURI, bool useTopic, bool transacted);
  // Connects and subscribes. False after a broker error, which is printed
  // on standard error and logged.
  bool start();
  // Waits, at most until deadline, until every reply handed to the
  // confirmation stage is confirmed and its request acknowledged.
  bool drain(std::chrono::steady_clock::time_point deadline);
  // Stops delivery (a message being handled is finished first) and releases
  // the connection; what is not acknowledged by then is delivered again.
  // Any number of times.
  void close();
  // Gives the subscription up: the broker hands what it had given this
  // consumer, not yet acknowledged, to the queue's other readers, and
  // nothing more comes until resume(). A reply of a request taken before
  // is still sent; its acknowledgement is not (the broker delivers the
  // request again, and the journal answers it). From one thread at a time,
  // with resume().
  void suspend();
  // Subscribes again; false (and logged) when the broker did not take it.
  bool resume();
  bool suspended() const { return connection != nullptr && subscriptionId_.empty(); }

  // Called on the delivery thread; never throws. Prints and logs
  // "destURI #%s Received: %s\n" (passwords masked), then runs the handler
  // and acknowledges the message (or hands it to the confirmation stage) as
  // it says. A handler that throws
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
  // Carries out what the handler decided for message; a settlement told
  // later is carried out on the thread that tells it (the journal's
  // writer), one worked out again on the delivery thread. ticket holds the
  // request among those in flight until then.
  void settle(const stomp::Message& message, const Delivery& delivery, Settlement settlement,
              std::shared_ptr<InFlightTicket> ticket);
  // A settlement told for a request held meanwhile: carried out for its
  // newest delivery.
  void settleHeld(const Delivery& delivery, Settlement told, std::shared_ptr<InFlightTicket> ticket);
  std::optional<stomp::Message> takeHeld(const std::string& messageId);
  // The requests to work out again, oldest first, on the delivery thread.
  void runRework();
  // Under settling_, with a stage.
  void submitLocked(const stomp::Message& message, const Delivery& delivery, Settlement settlement);
  // Throws what the broker said.
  void subscribe();

  std::unique_ptr<stomp::Connection> connection;
  // Also reached from the journal's writer: taken out under settling_ by
  // close(), destroyed outside it.
  std::unique_ptr<ReplyConfirmer> confirmer_;
  std::mutex settling_;
  // Requests whose settlement is still to come, with their newest delivery:
  // a delivery again meanwhile takes the earlier one's place, as the stage
  // adopts one whose reply it holds.
  std::unordered_map<std::string, stomp::Message> held_;
  std::deque<std::function<void()>> rework_;
  bool useTopic = false;
  bool transacted = false;
  std::string brokerURI;
  std::string destURI;

  const ServiceConfig& config_;
  InFlight& inFlight_;
  RequestHandler handler_;
  FatalHandler onFatal_;
  ReplyLedger ledger_;
  bool listening_ = false;
  std::string subscriptionId_;  // empty while suspended
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

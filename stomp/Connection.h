#pragma once
// A connection to a STOMP broker: one socket, one I/O thread, one delivery
// thread. All public members may be called from any thread.
//
//   stomp::Connection c("failover:(tcp://127.0.0.1:61613)", opts);
//   c.setExceptionListener([](const stomp::Error& e) { ... });
//   c.start();
//   c.subscribe(stomp::Destination::queue("in"), onMessage,
//               stomp::AckMode::AfterCallback);
//   c.send(stomp::Destination::queue("out"), stomp::OutgoingMessage{"text"});
//   c.close();
#include "stomp/Destination.h"
#include "stomp/Error.h"
#include "stomp/Headers.h"
#include "stomp/Message.h"
#include "stomp/OutgoingMessage.h"

#include <chrono>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <string>

namespace stomp {

class IoThread;

namespace detail {
class ConnectionCore;
}

struct ConnectionOptions {
  // Credentials are sent only when both are non-empty.
  std::string login;
  std::string passcode;
  // Bound on one connect attempt: TCP connect, TLS handshake, CONNECTED.
  // Under failover it also bounds start() as a whole.
  std::chrono::milliseconds connectTimeout{10000};
  // Bound on a send's wait for the broker's RECEIPT (and, under failover,
  // for the connection to come back before the frame could be written).
  std::chrono::milliseconds receiptTimeout{10000};
  // Under failover, a session must stay up this long before the reconnect
  // budget (maxReconnectAttempts) and the back-off start afresh: a broker
  // that accepts sessions and drops them at once is not retried forever.
  std::chrono::milliseconds stableSessionTime{5000};
  // Bound on requests waiting for their RECEIPT (sends, confirmed ACKs,
  // transaction frames), including those waiting for a failover to end.
  // Beyond it a blocking call waits for room (up to receiptTimeout, then
  // TimeoutError, nothing sent) and an asynchronous one fails at once
  // with LimitError.
  std::size_t maxPendingRequests = 1000;
  // Bound on messages received and not yet handed to their listener;
  // beyond it the connection stops reading until the listeners catch up,
  // which holds the broker back through TCP.
  std::size_t maxQueuedDeliveries = 1000;
  // Bound on close()'s wait for the DISCONNECT receipt.
  std::chrono::milliseconds closeTimeout{2000};
  // Heart-beats offered in CONNECT; 0 disables that direction. A broker
  // silent for three times the negotiated interval counts as lost.
  std::chrono::milliseconds heartBeatSend{10000};
  std::chrono::milliseconds heartBeatReceive{10000};
  // CONNECT "host" header; empty: the host of the URI.
  std::string virtualHost;
  // Optional CONNECT "client-id" header.
  std::string clientId;
  // The I/O thread to run on, shared with every connection given the same
  // one; empty: the connection starts one of its own. On a shared thread a
  // send callback of any of them blocks them all, and no blocking call of
  // any of them may be made there.
  std::shared_ptr<IoThread> ioThread;
};

using MessageListener = std::function<void(const Message&)>;
using ExceptionListener = std::function<void(const Error&)>;
// Called with nullptr once the broker's RECEIPT came, else with the error.
using SendCallback = std::function<void(std::exception_ptr)>;

// Told when a failover connection loses its transport and when it is back
// (after every subscription was restored).
struct TransportListener {
  std::function<void()> interrupted;
  std::function<void()> restored;
};

class Connection {
 public:
  // Parses the URI at once: a malformed one throws UriError naming it.
  explicit Connection(std::string brokerUri, ConnectionOptions options = {});
  ~Connection();  // close()
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Connects and waits for CONNECTED. Throws ConnectError naming the URI
  // (unreachable, not a STOMP port, TLS refused, time-out) or BrokerError
  // (e.g. credentials refused). Under failover it retries within
  // connectTimeout. Calling it again once connected does nothing.
  void start();

  // Listeners run on the delivery thread, one at a time, in order with the
  // message callbacks, never after close() has returned. Set them before
  // start(). The exception listener fires once the connection is lost for
  // good: an ERROR frame not tied to one request, a loss without failover,
  // or failover giving up. A message listener that throws does not stop
  // delivery; its message counts as handled (AfterCallback acknowledges it).
  void setExceptionListener(ExceptionListener listener);
  void setTransportListener(TransportListener listener);
  // Runs task on the delivery thread, in order with the messages and
  // events already handed to it; from any thread. Dropped (destroyed, not
  // run) once the connection closes.
  void runOnDelivery(std::function<void()> task);

  // Subscribes and returns the subscription id. `extra` may carry headers
  // such as selector or activemq.prefetchSize. May be called before start();
  // the SUBSCRIBE is then sent on connecting. Restored after a failover.
  std::string subscribe(const Destination& destination, MessageListener listener, AckMode ackMode = AckMode::Auto,
                        Headers extra = {});
  void unsubscribe(const std::string& subscriptionId);

  // Persistent send that returns once the broker's RECEIPT arrived.
  // Throws BrokerError (the broker refused this message; the connection
  // stays), TimeoutError or ConnectionLostError. After a TimeoutError or a
  // ConnectionLostError for a frame already written, the broker may or may
  // not have the message. Under failover a send made while reconnecting
  // waits (up to receiptTimeout) and goes out on the new connection.
  void send(const Destination& destination, const OutgoingMessage& message);
  // Non-blocking send: the future is ready (or holds the error) once the
  // RECEIPT came. The callback form calls back on the I/O thread; it must
  // not block nor call this connection's blocking members.
  std::future<void> sendAsync(const Destination& destination, const OutgoingMessage& message);
  void sendAsync(const Destination& destination, const OutgoingMessage& message, SendCallback done);

  // Acknowledge / reject a message received on this connection (modes
  // Client and ClientIndividual). An ACK for a message that arrived before a
  // reconnection is dropped: the broker delivers that message again.
  void ack(const Message& message);
  void nack(const Message& message);
  // An ACK that asks for a RECEIPT: returns (or calls back, on the I/O
  // thread) once the broker confirmed it. ConnectionLostError: the message
  // came on an earlier connection and will be delivered again.
  void ackConfirmed(const Message& message);
  void ackAsync(const Message& message, SendCallback done);

  // Transactions: SENDs (OutgoingMessage::transaction) and ACKs inside one
  // take effect on commit(), which returns once the broker's RECEIPT for
  // the COMMIT came; abort() drops them. A transaction does not survive
  // the connection: after a failover its sends, ACKs and commit fail with
  // ConnectionLostError (the broker rolled it back). begin, commit and
  // abort block, like send().
  std::string beginTransaction();
  void commit(const std::string& transaction);
  void abort(const std::string& transaction);
  void ack(const Message& message, const std::string& transaction);
  // Pipelined transactions: BEGIN and the SENDs inside go out without a
  // receipt each and without waiting; the COMMIT's receipt confirms the
  // whole batch. Neither call blocks, so both may be used from a send
  // callback. A transaction begun while the connection is down, or lost
  // with it, makes its commit fail with ConnectionLostError (the broker
  // kept nothing of it).
  std::string beginAsync();
  void sendInTransaction(const Destination& destination, const OutgoingMessage& message);
  // The same, with a receipt: done tells whether the broker took this send
  // (a BrokerError when it refused it, named by the receipt).
  void sendInTransaction(const Destination& destination, const OutgoingMessage& message, SendCallback done);
  void commitAsync(const std::string& transaction, SendCallback done);

  // Ordered close: waits for a running callback, UNSUBSCRIBE, DISCONNECT
  // with receipt (bounded), stops the threads. Idempotent; no callback runs
  // after it returns. May be called from a listener, not from a send
  // callback (it would join the thread it runs on): there it throws Error.
  void close();

  bool isConnected() const;
  const std::string& uri() const noexcept { return uri_; }
  // "1.0", "1.1" or "1.2" once connected, "" before.
  std::string version() const;

 private:
  std::string uri_;
  std::shared_ptr<detail::ConnectionCore> core_;
};

}  // namespace stomp

#pragma once
// The machinery behind stomp::Connection: the I/O thread (socket, timers,
// reconnection, protocol state), its own or one shared with other
// connections, and the delivery thread (listeners), started at the first
// message or event for it.
// Everything named *_io_ below is touched on the I/O thread only. The
// io_context may outlive this core (a shared thread): every handler handed
// to it holds the core (shared_from_this) or finds it gone (weak_ptr), and
// close() cancels what it armed, so that those references end.
#include "stomp/AckTable.h"
#include "stomp/DeliveryQueue.h"
#include "stomp/BrokerUri.h"
#include "stomp/ConnectAttempt.h"
#include "stomp/FailoverPlan.h"
#include "stomp/Failure.h"
#include "stomp/HeartBeatMonitor.h"
#include "stomp/ReceiptTable.h"
#include "stomp/Connection.h"
#include "stomp/FrameDecoder.h"
#include "stomp/IoThread.h"
#include "stomp/Session.h"
#include "stomp/Stream.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <future>
#include <map>
#include <set>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace stomp::detail {

class ConnectionCore : public std::enable_shared_from_this<ConnectionCore> {
 public:
  ConnectionCore(BrokerUri uri, ConnectionOptions options);
  ~ConnectionCore();

  void start();
  void setExceptionListener(ExceptionListener listener);
  void runOnDelivery(std::function<void()> task);
  void setTransportListener(TransportListener listener);
  std::string subscribe(const Destination& destination, MessageListener listener, AckMode mode, Headers extra);
  void unsubscribe(const std::string& id);
  void send(const Destination& destination, const OutgoingMessage& message);
  void sendAsync(const Destination& destination, const OutgoingMessage& message, SendCallback done);
  // `done` empty: no receipt asked. `transaction` empty: outside any.
  void ack(const Message& message, bool positive, const std::string& transaction, SendCallback done);
  void ackConfirmed(const Message& message);
  std::string beginTransaction();
  void endTransaction(const std::string& transaction, bool commit);
  std::string beginAsync();
  void commitAsync(const std::string& transaction, SendCallback done);
  // Hands a SEND to the I/O thread; `done` empty: no receipt asked (only
  // inside a transaction, whose COMMIT is confirmed instead).
  void post(const Destination& destination, const OutgoingMessage& message, SendCallback done);
  void close();
  bool isConnected() const { return connected_.load(); }
  std::string version() const;

 private:
  enum class Phase { Idle, Connecting, Connected, Reconnecting, Failed, Closing, Closed };

  struct SubscriptionEntry {
    MessageListener listener;
    AckMode mode;
  };
  struct PendingSend {
    Destination destination;
    OutgoingMessage message;
    SendCallback done;
    std::unique_ptr<asio::steady_timer> timer;
  };

  // I/O thread
  void ensureThreads();  // with mutex_ held
  void carryOut(const FailoverStep& step);
  void transportError(std::exception_ptr error);
  void expectReceipt(const std::string& receipt, std::string what, milliseconds timeout, ResultHandler done);
  void armReceiptTimer();
  void receiptsExpired();
  void doSubscribe(const std::string& id, const Destination& destination, AckMode mode, Headers extra,
                   SendCallback done);
  void doUnsubscribe(const std::string& id);
  struct AckRequest {
    std::string ackId;
    Headers headers;
    std::string subscription;
    std::uint64_t session;
    bool positive;
    std::string transaction;
  };
  void doAck(const AckRequest& request, SendCallback done);
  void doTransaction(const char* command, const std::string& transaction, SendCallback done);
  Failure transactionLost(const std::string& transaction) const;
  // Back-pressure: a place among the requests waiting for their receipt.
  // A blocking caller waits for one (up to receiptTimeout); otherwise, or
  // after that wait, the answer is why not.
  std::optional<Failure> admit(bool blocking, const std::string& what);
  SendCallback releasing(SendCallback done);  // gives the place back when done
  bool postToIo(std::function<void()> work);  // false once closing
  void attemptFailed(std::exception_ptr error);
  void connectTo(const Endpoint& endpoint, milliseconds timeout, std::function<void(std::exception_ptr)> done);
  void connected(const Endpoint& endpoint, std::exception_ptr error);  // the transport of an attempt is up
  void finishAttempt(std::exception_ptr error);
  void onSessionUp();
  void startRead();
  void onRead(std::uint64_t generation, std::error_code ec, std::size_t n);
  void onFrame(Frame frame);
  void write(std::string bytes);
  void writeNext();
  void onWritten(std::uint64_t generation, std::error_code ec);
  void armHeartBeats();
  void heartBeatTick(std::uint64_t generation);
  void lose(std::exception_ptr error, bool fatal);
  void giveUp(std::exception_ptr error);
  void writeSend(PendingSend send);
  void doSend(PendingSend send);
  void sendWaitedTooLong(const asio::steady_timer* timer);  // still not connected
  void failPending(const Failure& failure);
  void beginClose();
  void finishClose();
  void closeStream();
  // Any connection's blocking call made on this thread would wait for it.
  bool onIoThread() const { return std::this_thread::get_id() == ioThreadId_.load(); }
  asio::io_context& io() const { return ioThread_->context(); }
  // Runs `work` on the I/O thread with the core kept alive meanwhile.
  template <class Work>
  void dispatchIo(Work work) {
    asio::post(io(), [self = shared_from_this(), work = std::move(work)]() mutable { work(); });
  }
  void refuseOnIoThread(const char* what) const;

  // delivery thread
  void deliveryLoop();
  void startDelivery();  // the delivery thread, at the first item for it; not once closing
  void post(DeliveryItem item);
  void deliver(DeliveryItem& item);
  void resumeReading();

  std::string describe(const std::exception_ptr& error) const;

  // Declared first so it is destroyed last: sockets and timers below belong
  // to its io_context. Given in the options (shared) or made with the threads.
  std::shared_ptr<IoThread> ioThread_;
  const bool ownIoThread_;

  const BrokerUri uri_;
  const ConnectionOptions options_;

  // --- I/O thread state
  Phase phase_io_ = Phase::Idle;
  Session session_io_;
  FailoverPlan plan_io_;
  FrameDecoder decoder_io_;
  std::shared_ptr<Stream> stream_io_;
  std::uint64_t generation_io_ = 0;
  std::function<void(std::exception_ptr)> attemptDone_io_;
  std::shared_ptr<ConnectAttempt> attempt_io_;  // the attempt under way, if any
  // Made with the threads, once the io_context is known.
  std::optional<asio::steady_timer> reconnectTimer_io_;
  std::optional<asio::steady_timer> heartBeatTimer_io_;
  std::optional<asio::steady_timer> receiptTimer_io_;
  bool receiptTimerArmed_io_ = false;
  std::vector<char> readBuffer_io_;
  std::deque<std::string> writeQueue_io_;
  bool writing_io_ = false;
  bool readPaused_io_ = false;                     // the delivery queue is full
  std::optional<HeartBeatMonitor> heartBeats_io_;  // of the session up now
  ReceiptTable receipts_io_;
  AckTable acks_io_;
  std::set<std::string> transactions_io_;  // begun in this session
  std::uint64_t sessionSerial_io_ = 0;     // which session a Message came on
  std::deque<PendingSend> awaitingConnection_io_;
  std::exception_ptr lastFailure_io_;  // why the last attempt or session ended
  SendCallback startDone_io_;
  std::shared_ptr<std::promise<void>> closePromise_io_;

  // --- shared
  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<SubscriptionEntry>> subscriptions_;
  ExceptionListener exceptionListener_;
  TransportListener transportListener_;
  std::string version_;
  std::atomic<bool> connected_{false};
  std::atomic<std::uint64_t> nextSubscription_{1};
  std::atomic<std::uint64_t> nextTransaction_{1};
  std::size_t admitted_ = 0;  // requests between admit() and their completion
  std::condition_variable roomCv_;
  bool threadsStarted_ = false;
  bool closing_ = false;    // no new subscriptions, deliveries stop
  bool ioClosing_ = false;  // no new work for the I/O thread
  bool closed_ = false;
  std::condition_variable closedCv_;

  DeliveryQueue deliveries_;

  std::thread deliveryThread_;  // started under mutex_, before closing_
  std::atomic<bool> deliveryStarted_{false};
  std::atomic<std::thread::id> ioThreadId_{};
  std::atomic<std::thread::id> deliveryThreadId_{};
};

}  // namespace stomp::detail

#include "stomp/ConnectionCore.h"
#include <pthread.h>

#include "stomp/Completion.h"
#include "stomp/ConnectionSupport.h"

#include <random>

namespace stomp::detail {

namespace {

SessionConfig sessionConfig(const ConnectionOptions& o) {
  SessionConfig c;
  c.host = o.virtualHost;
  c.login = o.login;
  c.passcode = o.passcode;
  c.clientId = o.clientId;
  c.heartBeatSend = o.heartBeatSend;
  c.heartBeatReceive = o.heartBeatReceive;
  return c;
}

}  // namespace

ConnectionCore::ConnectionCore(BrokerUri uri, ConnectionOptions options)
    : ioThread_(options.ioThread),
      ownIoThread_(!ioThread_),
      uri_(std::move(uri)),
      options_(std::move(options)),
      session_io_(sessionConfig(options_)),
      plan_io_(uri_, options_.connectTimeout, options_.stableSessionTime,
               [rng = std::make_shared<std::mt19937_64>(std::random_device{}())] { return (*rng)(); }),
      readBuffer_io_(64 * 1024),
      deliveries_(options_.maxQueuedDeliveries) {
  // A shared thread refuses blocking calls at once, started or not.
  if (ioThread_) ioThreadId_ = ioThread_->id();
}

ConnectionCore::~ConnectionCore() {
  // close() normally ran; a thread left joinable here would terminate.
  if (deliveryThread_.joinable()) deliveryThread_.detach();
}

std::string ConnectionCore::describe(const std::exception_ptr& e) const { return copyError(e)->what(); }

// ---------------------------------------------------------------- public API

void ConnectionCore::ensureThreads() {
  if (threadsStarted_) return;
  threadsStarted_ = true;
  if (!ioThread_) {
    ioThread_ = std::make_shared<IoThread>();
    ioThreadId_ = ioThread_->id();
  }
  reconnectTimer_io_.emplace(io());
  heartBeatTimer_io_.emplace(io());
  receiptTimer_io_.emplace(io());
}

void ConnectionCore::startDelivery() {
  // A connection that only sends may never need one.
  if (deliveryStarted_.load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (deliveryStarted_.load(std::memory_order_relaxed) || closing_) return;
  auto self = shared_from_this();
  deliveryThread_ = std::thread([self] {
    pthread_setname_np(pthread_self(), "stomp-delivery");
    self->deliveryThreadId_ = std::this_thread::get_id();
    self->deliveryLoop();
  });
  deliveryStarted_.store(true, std::memory_order_release);
}

void ConnectionCore::refuseOnIoThread(const char* what) const {
  // The I/O thread would wait for itself: the answer could never come. On
  // a shared thread this holds for every connection on it.
  if (onIoThread())
    throw Error(std::string(what) + " on '" + uri_.text +
                "' cannot block on the connection's own I/O thread (a send callback)");
}

void ConnectionCore::start() {
  refuseOnIoThread("start");
  Completion done;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closing_) throw Error("connection to '" + uri_.text + "' is closed");
    ensureThreads();
    dispatchIo([this, cb = done.callback()] {
      if (phase_io_ == Phase::Connected) {
        cb(nullptr);
        return;
      }
      if (phase_io_ != Phase::Idle && phase_io_ != Phase::Failed) {
        cb(err<Error>("connection to '" + uri_.text + "' is already starting"));
        return;
      }
      startDone_io_ = cb;
      phase_io_ = Phase::Connecting;
      carryOut(plan_io_.start(Clock::now()));
    });
  }
  done.wait(ConnectError("cannot connect to '" + uri_.text + "': connection closed while connecting"));
}

void ConnectionCore::setExceptionListener(ExceptionListener listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!closing_) exceptionListener_ = std::move(listener);
}

void ConnectionCore::runOnDelivery(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closing_) return;
  }
  post(DeliveryItem{DeliveryItem::Kind::Task, {}, AckMode::Auto, nullptr, std::move(task)});
}

void ConnectionCore::setTransportListener(TransportListener listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!closing_) transportListener_ = std::move(listener);
}

std::string ConnectionCore::subscribe(const Destination& destination, MessageListener listener, AckMode mode,
                                      Headers extra) {
  if (!listener) throw Error("subscribe to " + destination.stompName() + " needs a listener");
  refuseOnIoThread("subscribe");
  std::string id = "sub-" + std::to_string(nextSubscription_++);
  Completion done;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closing_) throw ConnectionLostError("connection to '" + uri_.text + "' is closed");
    ensureThreads();
    subscriptions_[id] = std::make_shared<SubscriptionEntry>(SubscriptionEntry{std::move(listener), mode});
    dispatchIo([this, id, destination, mode, extra = std::move(extra), cb = done.callback()]() mutable {
      doSubscribe(id, destination, mode, std::move(extra), std::move(cb));
    });
  }
  try {
    done.wait(ConnectionLostError("connection to '" + uri_.text + "' closed while subscribing"));
  } catch (...) {
    unsubscribe(id);  // a SUBSCRIBE that timed out may still have taken effect
    throw;
  }
  return id;
}

void ConnectionCore::unsubscribe(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  subscriptions_.erase(id);
  if (threadsStarted_ && !ioClosing_) dispatchIo([this, id] { doUnsubscribe(id); });
}

void ConnectionCore::send(const Destination& destination, const OutgoingMessage& message) {
  refuseOnIoThread("send");
  if (auto refused = admit(true, "send to " + destination.stompName())) raise(*refused);
  Completion done;
  post(destination, message, releasing(done.callback()));
  done.wait(ConnectionLostError("send to " + destination.stompName() + ": connection to '" + uri_.text +
                                "' closed (the broker may or may not have taken the message)"));
}

void ConnectionCore::sendAsync(const Destination& destination, const OutgoingMessage& message, SendCallback done) {
  if (auto refused = admit(false, "send to " + destination.stompName())) {
    if (done) done(toException(*refused));
    return;
  }
  post(destination, message, releasing(std::move(done)));
}

void ConnectionCore::post(const Destination& destination, const OutgoingMessage& message, SendCallback done) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (threadsStarted_ && !ioClosing_) {
      PendingSend send{destination, message, std::move(done), nullptr};
      dispatchIo([this, send = std::move(send)]() mutable { doSend(std::move(send)); });
      return;
    }
  }
  if (done)
    done(err<ConnectionLostError>("cannot send to " + destination.stompName() + ": connection to '" + uri_.text +
                                  "' is not open"));
}

std::string ConnectionCore::version() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return version_;
}

void ConnectionCore::close() {
  refuseOnIoThread("close");  // it waits for the I/O thread
  const auto me = std::this_thread::get_id();
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (closed_) return;
    if (closing_) {
      // Someone else is closing; wait unless we are the delivery thread.
      if (me != deliveryThreadId_.load()) closedCv_.wait(lock, [this] { return closed_; });
      return;
    }
    closing_ = true;
    if (!threadsStarted_) {
      closed_ = ioClosing_ = true;
      exceptionListener_ = nullptr;
      transportListener_ = {};
      subscriptions_.clear();
      return;
    }
  }

  // 1. No delivery starts any more; a running callback finishes (it may
  //    still send and acknowledge: the I/O thread keeps working meanwhile).
  deliveries_.stop();
  if (deliveryThread_.joinable()) {  // none: nothing was ever handed to a listener
    if (me == deliveryThreadId_.load())
      deliveryThread_.detach();  // it ends when the running callback returns
    else
      deliveryThread_.join();
  }

  // 2. UNSUBSCRIBE and DISCONNECT with a bounded wait. Nothing is posted
  //    after ioClosing_, so what was posted before runs first.
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ioClosing_ = true;
  }
  auto promise = std::make_shared<std::promise<void>>();
  auto future = promise->get_future();
  dispatchIo([this, promise] {
    closePromise_io_ = promise;
    beginClose();
  });
  future.wait_for(options_.closeTimeout + milliseconds(2000));

  // 3. The last handler: ends what beginClose left (a DISCONNECT still
  //    unanswered), which cancels every timer and closes the socket. The
  //    handlers so cancelled are queued by then; the marker posted after
  //    them holds no reference, so once it ran none of ours is left. Waited
  //    for without a bound, as the join of the I/O thread it stands for.
  auto last = std::make_shared<std::promise<void>>();
  auto lastDone = last->get_future();
  dispatchIo([this, last] {
    finishClose();
    asio::post(io(), [last] { last->set_value(); });
  });
  lastDone.wait();
  if (ownIoThread_) {
    // Our own thread ends with us; what it still holds runs here, so that
    // nothing keeps the core alive in a stopped queue.
    ioThread_->stop();
    io().restart();
    io().poll();
  }

  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  connected_ = false;
  exceptionListener_ = nullptr;
  transportListener_ = {};
  subscriptions_.clear();
  closedCv_.notify_all();
}

}  // namespace stomp::detail

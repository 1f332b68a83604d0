#include "stomp/ConnectionCore.h"

#include "stomp/Completion.h"

#include <algorithm>
#include <random>

namespace stomp::detail {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

std::string ms(milliseconds d) { return std::to_string(d.count()) + " ms"; }

// A new exception of the same type and text. An exception object must not be
// shared by threads: its reference count lives in the uninstrumented C++
// runtime, so sharing it would also blind ThreadSanitizer.
std::exception_ptr freshCopy(const std::exception_ptr& e)
{
    try {
        throwCopy(*copyError(e));
    } catch (...) {
        return std::current_exception();
    }
}

template <class E>
std::exception_ptr err(const std::string& what)
{
    return std::make_exception_ptr(E(what));
}

SessionConfig sessionConfig(const ConnectionOptions& o)
{
    SessionConfig c;
    c.host = o.virtualHost;
    c.login = o.login;
    c.passcode = o.passcode;
    c.clientId = o.clientId;
    c.heartBeatSend = o.heartBeatSend;
    c.heartBeatReceive = o.heartBeatReceive;
    return c;
}

// The public callback's form of an internal completion.
ResultHandler reportingTo(SendCallback done)
{
    return [done = std::move(done)](const Failure* failure) {
        if (done)
            done(failure ? toException(*failure) : nullptr);
    };
}

} // namespace

ConnectionCore::ConnectionCore(BrokerUri uri, ConnectionOptions options)
    : uri_(std::move(uri)), options_(std::move(options)), session_io_(sessionConfig(options_)),
      plan_io_(uri_, options_.connectTimeout, options_.stableSessionTime,
               [rng = std::make_shared<std::mt19937_64>(std::random_device{}())] { return (*rng)(); }),
      resolver_io_(io_), connectTimer_io_(io_), reconnectTimer_io_(io_), heartBeatTimer_io_(io_),
      receiptTimer_io_(io_), readBuffer_io_(64 * 1024),
      deliveries_(options_.maxQueuedDeliveries)
{
}

ConnectionCore::~ConnectionCore()
{
    // close() normally ran; a thread left joinable here would terminate.
    if (ioThread_.joinable())
        ioThread_.detach();
    if (deliveryThread_.joinable())
        deliveryThread_.detach();
}

std::string ConnectionCore::describe(const std::exception_ptr& e) const
{
    return copyError(e)->what();
}

// ---------------------------------------------------------------- public API

void ConnectionCore::ensureThreads()
{
    if (threadsStarted_)
        return;
    threadsStarted_ = true;
    work_.emplace(io_.get_executor());
    auto self = shared_from_this();
    ioThread_ = std::thread([self] {
        self->ioThreadId_ = std::this_thread::get_id();
        self->io_.run();
    });
    deliveryThread_ = std::thread([self] {
        self->deliveryThreadId_ = std::this_thread::get_id();
        self->deliveryLoop();
    });
}

void ConnectionCore::refuseOnIoThread(const char* what) const
{
    // The I/O thread would wait for itself: the answer could never come.
    if (onIoThread())
        throw Error(std::string(what) + " on '" + uri_.text
                    + "' cannot block on the connection's own I/O thread (a send callback)");
}

void ConnectionCore::start()
{
    refuseOnIoThread("start");
    Completion done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closing_)
            throw Error("connection to '" + uri_.text + "' is closed");
        ensureThreads();
        asio::post(io_, [this, cb = done.callback()] {
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

void ConnectionCore::setExceptionListener(ExceptionListener listener)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!closing_)
        exceptionListener_ = std::move(listener);
}

void ConnectionCore::setTransportListener(TransportListener listener)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!closing_)
        transportListener_ = std::move(listener);
}

std::string ConnectionCore::subscribe(const Destination& destination, MessageListener listener, AckMode mode,
                                      Headers extra)
{
    if (!listener)
        throw Error("subscribe to " + destination.stompName() + " needs a listener");
    refuseOnIoThread("subscribe");
    std::string id = "sub-" + std::to_string(nextSubscription_++);
    Completion done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closing_)
            throw ConnectionLostError("connection to '" + uri_.text + "' is closed");
        ensureThreads();
        subscriptions_[id] = std::make_shared<SubscriptionEntry>(SubscriptionEntry{std::move(listener), mode});
        asio::post(io_, [this, id, destination, mode, extra = std::move(extra), cb = done.callback()]() mutable {
            doSubscribe(id, destination, mode, std::move(extra), std::move(cb));
        });
    }
    try {
        done.wait(ConnectionLostError("connection to '" + uri_.text + "' closed while subscribing"));
    } catch (...) {
        unsubscribe(id); // a SUBSCRIBE that timed out may still have taken effect
        throw;
    }
    return id;
}

void ConnectionCore::unsubscribe(const std::string& id)
{
    std::lock_guard<std::mutex> lock(mutex_);
    subscriptions_.erase(id);
    if (threadsStarted_ && !ioClosing_)
        asio::post(io_, [this, id] { doUnsubscribe(id); });
}

void ConnectionCore::send(const Destination& destination, const OutgoingMessage& message)
{
    refuseOnIoThread("send");
    if (auto refused = admit(true, "send to " + destination.stompName()))
        raise(*refused);
    Completion done;
    post(destination, message, releasing(done.callback()));
    done.wait(ConnectionLostError("send to " + destination.stompName() + ": connection to '" + uri_.text
                                  + "' closed (the broker may or may not have taken the message)"));
}

void ConnectionCore::sendAsync(const Destination& destination, const OutgoingMessage& message, SendCallback done)
{
    if (auto refused = admit(false, "send to " + destination.stompName())) {
        if (done)
            done(toException(*refused));
        return;
    }
    post(destination, message, releasing(std::move(done)));
}

void ConnectionCore::post(const Destination& destination, const OutgoingMessage& message, SendCallback done)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (threadsStarted_ && !ioClosing_) {
            PendingSend send{destination, message, std::move(done), nullptr};
            asio::post(io_, [this, send = std::move(send)]() mutable { doSend(std::move(send)); });
            return;
        }
    }
    if (done)
        done(err<ConnectionLostError>("cannot send to " + destination.stompName() + ": connection to '" + uri_.text
                                      + "' is not open"));
}

std::string ConnectionCore::version() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return version_;
}

void ConnectionCore::close()
{
    refuseOnIoThread("close"); // it joins the I/O thread
    const auto me = std::this_thread::get_id();
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (closed_)
            return;
        if (closing_) {
            // Someone else is closing; wait unless we are the delivery thread.
            if (me != deliveryThreadId_.load())
                closedCv_.wait(lock, [this] { return closed_; });
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
    if (me == deliveryThreadId_.load())
        deliveryThread_.detach(); // it ends when the running callback returns
    else
        deliveryThread_.join();

    // 2. UNSUBSCRIBE and DISCONNECT with a bounded wait, then stop I/O.
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ioClosing_ = true;
    }
    auto promise = std::make_shared<std::promise<void>>();
    auto future = promise->get_future();
    asio::post(io_, [this, promise] {
        closePromise_io_ = promise;
        beginClose();
    });
    future.wait_for(options_.closeTimeout + milliseconds(2000));
    work_.reset();
    io_.stop();
    ioThread_.join();

    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    connected_ = false;
    exceptionListener_ = nullptr;
    transportListener_ = {};
    subscriptions_.clear();
    closedCv_.notify_all();
}

// ---------------------------------------------------------------- connecting

void ConnectionCore::carryOut(const FailoverStep& step)
{
    switch (step.kind) {
    case FailoverStep::Kind::Try:
        connectTo(step.endpoint, step.timeout, [this](std::exception_ptr e) {
            if (e)
                attemptFailed(e);
            else
                onSessionUp();
        });
        return;
    case FailoverStep::Kind::Wait:
        reconnectTimer_io_.expires_after(step.delay);
        reconnectTimer_io_.async_wait([this](std::error_code ec) {
            if (!ec && (phase_io_ == Phase::Connecting || phase_io_ == Phase::Reconnecting))
                carryOut(plan_io_.waited(Clock::now()));
        });
        return;
    case FailoverStep::Kind::GiveUp:
        giveUp(lastFailure_io_);
        return;
    }
}

void ConnectionCore::attemptFailed(std::exception_ptr e)
{
    if (phase_io_ != Phase::Connecting && phase_io_ != Phase::Reconnecting)
        return;
    bool refused = false;
    try {
        std::rethrow_exception(e);
    } catch (const BrokerError&) {
        refused = true;
    } catch (...) {
    }
    lastFailure_io_ = e;
    carryOut(plan_io_.attemptFailed(Clock::now(), refused));
}

void ConnectionCore::giveUp(std::exception_ptr e)
{
    closeStream();
    std::string reason = describe(e);
    const int attempts = plan_io_.attempts();
    if (plan_io_.startingUp()) {
        phase_io_ = Phase::Idle;
        std::exception_ptr out;
        std::string prefix = "cannot connect to '" + uri_.text + "'";
        if (uri_.failover)
            prefix += " (" + std::to_string(attempts) + " attempt" + (attempts == 1 ? "" : "s") + ")";
        try {
            std::rethrow_exception(e);
        } catch (const BrokerError& x) {
            out = std::make_exception_ptr(BrokerError(prefix + ": " + x.what(), x.brokerMessage(), x.details()));
        } catch (...) {
            out = err<ConnectError>(prefix + ": " + reason);
        }
        failPending(Failure::of(*copyError(out)));
        if (auto cb = std::move(startDone_io_))
            cb(std::move(out));
        return;
    }
    phase_io_ = Phase::Failed;
    auto lost = err<ConnectionLostError>("connection to '" + uri_.text + "' lost; reconnecting gave up after "
                                         + std::to_string(attempts) + " attempts: " + reason);
    failPending(Failure::of(*copyError(lost)));
    post(DeliveryItem{DeliveryItem::Kind::Exception, {}, AckMode::Auto, copyError(lost)});
}

void ConnectionCore::connectTo(const Endpoint& endpoint, milliseconds timeout,
                               std::function<void(std::exception_ptr)> done)
{
    closeStream();
    const auto gen = generation_io_;
    attemptDone_io_ = std::move(done);
    try {
        stream_io_ = std::make_shared<Stream>(io_, endpoint);
    } catch (...) {
        finishAttempt(std::current_exception());
        return;
    }
    decoder_io_.reset();
    decoder_io_.setVersion(Version::V1_0);
    session_io_.setHost(options_.virtualHost.empty() ? endpoint.host : options_.virtualHost);

    connectStage_io_ = "resolving the host";
    connectTimer_io_.expires_after(timeout);
    connectTimer_io_.async_wait([this, gen, endpoint, timeout](std::error_code ec) {
        if (ec || gen != generation_io_ || !attemptDone_io_)
            return;
        finishAttempt(err<ConnectError>(endpoint.uri + ": no STOMP session within " + ms(timeout) + " ("
                                        + connectStage_io_ + ")"));
    });

    auto stream = stream_io_;
    resolver_io_.async_resolve(
        endpoint.host, endpoint.port,
        [this, gen, stream, endpoint](std::error_code ec, asio::ip::tcp::resolver::results_type results) {
            if (gen != generation_io_ || !attemptDone_io_)
                return;
            if (ec) {
                finishAttempt(err<ConnectError>(endpoint.uri + ": cannot resolve '" + endpoint.host
                                                + "': " + ec.message()));
                return;
            }
            connectStage_io_ = "connecting";
            asio::async_connect(stream->socket(), results, [this, gen, stream, endpoint](std::error_code ec,
                                                                                       const auto&) {
                if (gen != generation_io_ || !attemptDone_io_)
                    return;
                if (ec) {
                    finishAttempt(err<ConnectError>(endpoint.uri + ": " + ec.message()));
                    return;
                }
                std::error_code ignored;
                stream->socket().set_option(asio::ip::tcp::no_delay(true), ignored);
                connectStage_io_ = stream->tls() ? "TLS handshake" : "waiting for CONNECTED";
                stream->handshake([this, gen, stream, endpoint](std::error_code ec) {
                    if (gen != generation_io_ || !attemptDone_io_)
                        return;
                    if (ec) {
                        finishAttempt(err<ConnectError>(endpoint.uri + ": TLS handshake failed: " + ec.message()));
                        return;
                    }
                    connectStage_io_ = "waiting for CONNECTED; is this a STOMP port?";
                    std::string bytes;
                    try {
                        bytes = encodeFrame(session_io_.connectFrame(), EncodeOptions{Version::V1_0, false});
                    } catch (const Error& x) {
                        finishAttempt(err<ConnectError>(endpoint.uri + ": " + x.what()));
                        return;
                    }
                    write(std::move(bytes));
                    startRead();
                });
            });
        });
}

void ConnectionCore::finishAttempt(std::exception_ptr e)
{
    connectTimer_io_.cancel();
    auto done = std::move(attemptDone_io_);
    attemptDone_io_ = nullptr;
    if (e)
        closeStream();
    if (done)
        done(e);
}

void ConnectionCore::onSessionUp()
{
    const bool restoring = !plan_io_.startingUp();
    plan_io_.sessionUp(Clock::now());
    phase_io_ = Phase::Connected;
    ++sessionSerial_io_;
    acks_io_.clear();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        version_ = versionName(session_io_.version());
    }
    connected_ = true;
    for (const auto& id : session_io_.subscriptionIds())
        write(encodeFrame(session_io_.subscribeFrame(id), session_io_.encodeOptions()));
    armHeartBeats();
    auto waiting = std::move(awaitingConnection_io_);
    awaitingConnection_io_.clear();
    for (auto& send : waiting) {
        send.timer.reset();
        writeSend(std::move(send));
    }
    if (restoring) {
        post(DeliveryItem{DeliveryItem::Kind::Restored, {}, AckMode::Auto, nullptr});
    } else {
        if (auto cb = std::move(startDone_io_))
            cb(nullptr);
    }
}

// ---------------------------------------------------------------- reading and writing

void ConnectionCore::startRead()
{
    auto stream = stream_io_;
    const auto gen = generation_io_;
    stream->readSome(asio::buffer(readBuffer_io_), [this, stream, gen](std::error_code ec, std::size_t n) {
        if (gen != generation_io_)
            return;
        if (ec) {
            std::string why = ec == asio::error::eof ? std::string("the broker closed the connection")
                                                     : "read failed: " + ec.message();
            transportError(err<ConnectionLostError>("connection to '" + uri_.text + "' lost: " + why));
            return;
        }
        if (heartBeats_io_)
            heartBeats_io_->onRead(Clock::now());
        std::exception_ptr broken;
        try {
            decoder_io_.feed(readBuffer_io_.data(), n);
        } catch (const ProtocolError& x) {
            broken = err<ProtocolError>("protocol error on '" + uri_.text + "': " + x.what());
        }
        // Frames completed before a broken spot still count.
        while (gen == generation_io_ && decoder_io_.hasFrame())
            onFrame(decoder_io_.next());
        if (gen != generation_io_)
            return;
        if (broken)
            transportError(broken);
        else if (!readPaused_io_)
            startRead();
    });
}

void ConnectionCore::transportError(std::exception_ptr e)
{
    if (attemptDone_io_)
        finishAttempt(e);
    else if (phase_io_ == Phase::Connected)
        lose(e, false);
    else if (phase_io_ == Phase::Closing)
        finishClose();
    else
        closeStream();
}

void ConnectionCore::write(std::string bytes)
{
    if (!stream_io_)
        return;
    writeQueue_io_.push_back(std::move(bytes));
    if (!writing_io_)
        writeNext();
}

void ConnectionCore::writeNext()
{
    if (writeQueue_io_.empty()) {
        writing_io_ = false;
        return;
    }
    // Coalesce queued frames into one write.
    if (writeQueue_io_.size() > 1) {
        std::string joined;
        for (auto& b : writeQueue_io_)
            joined += b;
        writeQueue_io_.clear();
        writeQueue_io_.push_back(std::move(joined));
    }
    writing_io_ = true;
    auto stream = stream_io_;
    const auto gen = generation_io_;
    stream->write(asio::buffer(writeQueue_io_.front()), [this, stream, gen](std::error_code ec, std::size_t) {
        if (gen != generation_io_)
            return;
        if (ec) {
            transportError(err<ConnectionLostError>("connection to '" + uri_.text + "' lost: write failed: "
                                                    + ec.message()));
            return;
        }
        if (heartBeats_io_)
            heartBeats_io_->onWrite(Clock::now());
        writeQueue_io_.pop_front();
        writeNext();
    });
}

void ConnectionCore::armHeartBeats()
{
    heartBeats_io_.emplace(session_io_.sendInterval(), session_io_.receiveInterval(), Clock::now());
    if (heartBeats_io_->active())
        heartBeatTick(generation_io_);
}

void ConnectionCore::heartBeatTick(std::uint64_t gen)
{
    if (readPaused_io_)
        heartBeats_io_->onRead(Clock::now()); // the silence is ours: we stopped reading
    const HeartBeatAction action = heartBeats_io_->tick(Clock::now(), writing_io_);
    if (action.peerLost) {
        transportError(err<ConnectionLostError>("connection to '" + uri_.text
                                                + "' lost: no data or heart-beat from the broker for "
                                                + ms(heartBeats_io_->lossAfter())));
        return;
    }
    if (action.sendBeat)
        write("\n");
    heartBeatTimer_io_.expires_at(action.nextTick);
    heartBeatTimer_io_.async_wait([this, gen](std::error_code ec) {
        if (!ec && gen == generation_io_)
            heartBeatTick(gen);
    });
}

// ---------------------------------------------------------------- frames

void ConnectionCore::onFrame(Frame frame)
{
    if (attemptDone_io_) {
        // The answer to CONNECT.
        try {
            session_io_.onConnected(frame);
        } catch (...) {
            finishAttempt(std::current_exception());
            return;
        }
        decoder_io_.setVersion(session_io_.version());
        finishAttempt(nullptr);
        return;
    }

    IncomingEvent ev;
    try {
        ev = session_io_.onFrame(std::move(frame));
    } catch (...) {
        transportError(std::current_exception());
        return;
    }
    switch (ev.kind) {
    case IncomingEvent::Kind::Message: {
        if (phase_io_ != Phase::Connected)
            return;
        const SubscriptionInfo* info = session_io_.subscription(ev.id);
        if (!info)
            return; // unsubscribed meanwhile; unacknowledged, so not lost
        Message m(std::move(ev.frame.body), std::move(ev.frame.headers));
        m.generation_ = sessionSerial_io_;
        m.owner_ = this;
        m.subscriptionId_ = ev.id;
        m.ackId_ = m.header("ack").value_or(m.messageId());
        if (info->ackMode != AckMode::Auto)
            acks_io_.delivered(ev.id, m.ackId_, info->ackMode == AckMode::Client);
        if (!deliveries_.push(DeliveryItem{DeliveryItem::Kind::Message, std::move(m), info->ackMode, nullptr}))
            readPaused_io_ = true;
        return;
    }
    case IncomingEvent::Kind::Receipt: {
        if (auto entry = receipts_io_.take(ev.id)) // none: a late receipt after its time-out
            if (entry->done)
                entry->done(nullptr);
        return;
    }
    case IncomingEvent::Kind::Error: {
        if (auto entry = ev.id.empty() ? std::nullopt : receipts_io_.take(ev.id)) {
            // The broker refused one request: that caller gets the error.
            const Failure refused = Failure::of(brokerErrorFrom(ev.frame, entry->what + " on '" + uri_.text + "'"));
            if (entry->done)
                entry->done(&refused);
            return;
        }
        if (phase_io_ == Phase::Closing) {
            finishClose();
            return;
        }
        lose(std::make_exception_ptr(brokerErrorFrom(ev.frame, "connection to '" + uri_.text + "'")), true);
        return;
    }
    }
}

void ConnectionCore::lose(std::exception_ptr e, bool fatal)
{
    if (phase_io_ != Phase::Connected)
        return;
    closeStream();
    session_io_.onDisconnected();
    connected_ = false;
    acks_io_.clear();
    transactions_io_.clear(); // the broker rolls them back
    const std::string reason = describe(e);
    failPending(Failure(Failure::Kind::ConnectionLost,
                        reason + " (the broker may or may not have taken this message)"));
    deliveries_.dropRedeliverable();
    if (!fatal && uri_.failover) {
        post(DeliveryItem{DeliveryItem::Kind::Interrupted, {}, AckMode::Auto, nullptr});
        phase_io_ = Phase::Reconnecting;
        lastFailure_io_ = e;
        carryOut(plan_io_.sessionLost(Clock::now()));
    } else {
        phase_io_ = Phase::Failed;
        post(DeliveryItem{DeliveryItem::Kind::Exception, {}, AckMode::Auto, copyError(e)});
    }
}

void ConnectionCore::failPending(const Failure& failure)
{
    receiptTimer_io_.cancel();
    receiptTimerArmed_io_ = false;
    for (auto& entry : receipts_io_.takeAll())
        if (entry.done)
            entry.done(&failure);
    auto waiting = std::move(awaitingConnection_io_);
    awaitingConnection_io_.clear();
    for (auto& send : waiting)
        if (send.done)
            send.done(toException(failure));
}

void ConnectionCore::closeStream()
{
    std::error_code ignored;
    resolver_io_.cancel();
    connectTimer_io_.cancel();
    heartBeatTimer_io_.cancel();
    heartBeats_io_.reset();
    if (stream_io_) {
        stream_io_->close();
        stream_io_.reset();
    }
    ++generation_io_; // every handler of the old stream is now stale
    writeQueue_io_.clear();
    writing_io_ = false;
    readPaused_io_ = false;
}

// ---------------------------------------------------------------- requests on the I/O thread

void ConnectionCore::expectReceipt(const std::string& receipt, std::string what, milliseconds timeout,
                                   ResultHandler done)
{
    receipts_io_.expect(receipt, std::move(what), Clock::now() + timeout, std::move(done));
    armReceiptTimer();
}

// One timer for every receipt: it runs out at the earliest deadline.
void ConnectionCore::armReceiptTimer()
{
    const auto next = receipts_io_.nextDeadline();
    if (!next || (receiptTimerArmed_io_ && *next >= receiptTimer_io_.expiry()))
        return;
    receiptTimerArmed_io_ = true;
    receiptTimer_io_.expires_at(*next);
    receiptTimer_io_.async_wait([this](std::error_code ec) {
        if (ec)
            return;
        receiptTimerArmed_io_ = false;
        for (auto& entry : receipts_io_.takeExpired(Clock::now())) {
            const Failure late(Failure::Kind::Timeout, "no receipt for " + entry.what + " on '" + uri_.text
                                                           + "' in time");
            if (entry.done)
                entry.done(&late);
        }
        armReceiptTimer();
    });
}

void ConnectionCore::doSend(PendingSend send)
{
    switch (phase_io_) {
    case Phase::Connected:
        writeSend(std::move(send));
        return;
    case Phase::Connecting:
    case Phase::Reconnecting: {
        // Not yet written, so it is safe to hold it for the next connection.
        send.timer = std::make_unique<asio::steady_timer>(io_);
        send.timer->expires_after(options_.receiptTimeout);
        auto* key = send.timer.get();
        send.timer->async_wait([this, key](std::error_code ec) {
            if (ec)
                return;
            auto it = std::find_if(awaitingConnection_io_.begin(), awaitingConnection_io_.end(),
                                   [key](const PendingSend& s) { return s.timer.get() == key; });
            if (it == awaitingConnection_io_.end())
                return;
            auto done = std::move(it->done);
            std::string dest = it->destination.stompName();
            awaitingConnection_io_.erase(it);
            if (done)
                done(err<TimeoutError>("cannot send to " + dest + ": not connected to '" + uri_.text + "' within "
                                       + ms(options_.receiptTimeout) + " (the message was not sent)"));
        });
        awaitingConnection_io_.push_back(std::move(send));
        return;
    }
    default:
        if (send.done)
            send.done(err<ConnectionLostError>("cannot send to " + send.destination.stompName()
                                               + ": not connected to '" + uri_.text + "' (the message was not sent)"));
    }
}

void ConnectionCore::writeSend(PendingSend send)
{
    if (!send.message.transaction.empty() && !transactions_io_.count(send.message.transaction)) {
        if (send.done)
            send.done(toException(transactionLost(send.message.transaction)));
        return;
    }
    const std::string receipt = receipts_io_.newReceiptId();
    std::string bytes;
    try {
        bytes = encodeFrame(session_io_.sendFrame(send.destination, send.message, receipt),
                            session_io_.encodeOptions(&send.message));
    } catch (...) {
        if (send.done)
            send.done(freshCopy(std::current_exception()));
        return;
    }
    expectReceipt(receipt, "send to " + send.destination.stompName(), options_.receiptTimeout,
                  reportingTo(std::move(send.done)));
    write(std::move(bytes));
}

void ConnectionCore::doSubscribe(const std::string& id, const Destination& destination, AckMode mode,
                                 Headers extra, SendCallback done)
{
    try {
        session_io_.addSubscription(destination, mode, std::move(extra), id);
    } catch (...) {
        done(freshCopy(std::current_exception()));
        return;
    }
    if (phase_io_ != Phase::Connected) {
        done(nullptr); // sent on connecting
        return;
    }
    Frame f = session_io_.subscribeFrame(id);
    const std::string receipt = receipts_io_.newReceiptId();
    f.headers.emplace_back("receipt", receipt);
    std::string bytes;
    try {
        bytes = encodeFrame(f, session_io_.encodeOptions());
    } catch (...) {
        session_io_.removeSubscription(id);
        done(freshCopy(std::current_exception()));
        return;
    }
    expectReceipt(receipt, "subscribe to " + destination.stompName(), options_.receiptTimeout,
                  reportingTo(std::move(done)));
    write(std::move(bytes));
}

void ConnectionCore::doUnsubscribe(const std::string& id)
{
    if (!session_io_.subscription(id))
        return;
    if (phase_io_ == Phase::Connected)
        write(encodeFrame(session_io_.unsubscribeFrame(id), session_io_.encodeOptions()));
    session_io_.removeSubscription(id);
    acks_io_.purge(id);
}

// ---------------------------------------------------------------- closing

void ConnectionCore::beginClose()
{
    reconnectTimer_io_.cancel();
    if (phase_io_ != Phase::Connected) {
        finishClose();
        return;
    }
    phase_io_ = Phase::Closing;
    for (const auto& id : session_io_.subscriptionIds())
        write(encodeFrame(session_io_.unsubscribeFrame(id), session_io_.encodeOptions()));
    const std::string receipt = receipts_io_.newReceiptId();
    write(encodeFrame(session_io_.disconnectFrame(receipt), session_io_.encodeOptions()));
    // Answered, refused or timed out: the connection ends all the same.
    expectReceipt(receipt, "disconnect", options_.closeTimeout, [this](const Failure*) { finishClose(); });
}

void ConnectionCore::finishClose()
{
    if (phase_io_ == Phase::Closed)
        return;
    phase_io_ = Phase::Closed;
    attemptDone_io_ = nullptr;
    closeStream();
    reconnectTimer_io_.cancel();
    session_io_.onDisconnected();
    connected_ = false;
    const std::string reason = "connection to '" + uri_.text + "' closed";
    failPending(Failure(Failure::Kind::ConnectionLost, reason));
    if (auto cb = std::move(startDone_io_))
        cb(err<ConnectError>("cannot connect to '" + uri_.text + "': closed while connecting"));
    if (auto p = std::move(closePromise_io_))
        p->set_value();
}

// ---------------------------------------------------------------- delivery thread

void ConnectionCore::post(DeliveryItem item) { deliveries_.push(std::move(item)); }

void ConnectionCore::resumeReading()
{
    if (readPaused_io_ && stream_io_) {
        readPaused_io_ = false;
        startRead();
    }
}

void ConnectionCore::deliveryLoop()
{
    bool resume = false;
    while (auto item = deliveries_.pop(resume)) {
        if (resume)
            asio::post(io_, [this] { resumeReading(); });
        deliver(*item);
    }
}

void ConnectionCore::deliver(DeliveryItem& item)
{
    switch (item.kind) {
    case DeliveryItem::Kind::Message: {
        std::shared_ptr<SubscriptionEntry> entry;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = subscriptions_.find(item.message.subscriptionId_);
            if (it != subscriptions_.end())
                entry = it->second;
        }
        if (!entry)
            return;
        try {
            entry->listener(item.message);
        } catch (...) {
            // A throwing listener must not end delivery. The message counts
            // as handled: delivering it again could repeat its effects.
        }
        if (entry->mode == AckMode::AfterCallback) {
            try {
                ack(item.message, true, {}, nullptr);
            } catch (...) {
            }
        }
        return;
    }
    case DeliveryItem::Kind::Exception: {
        ExceptionListener listener;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            listener = exceptionListener_;
        }
        if (listener) {
            try {
                listener(*item.error);
            } catch (...) {
            }
        }
        return;
    }
    case DeliveryItem::Kind::Interrupted:
    case DeliveryItem::Kind::Restored: {
        std::function<void()> fn;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            fn = item.kind == DeliveryItem::Kind::Interrupted ? transportListener_.interrupted
                                                              : transportListener_.restored;
        }
        if (fn) {
            try {
                fn();
            } catch (...) {
            }
        }
        return;
    }
    }
}

} // namespace stomp::detail

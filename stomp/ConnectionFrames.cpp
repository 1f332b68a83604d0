// ConnectionCore on the I/O thread: frames from the broker, losing a
// session, the requests that wait for receipts, and closing.
#include "stomp/Completion.h"
#include "stomp/ConnectionCore.h"
#include "stomp/ConnectionSupport.h"

#include <algorithm>

namespace stomp::detail {

// ---------------------------------------------------------------- frames

void ConnectionCore::onFrame(Frame frame) {
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
      if (phase_io_ != Phase::Connected) return;
      const SubscriptionInfo* info = session_io_.subscription(ev.id);
      if (!info) return;  // unsubscribed meanwhile; unacknowledged, so not lost
      Message m(std::move(ev.frame.body), std::move(ev.frame.headers));
      m.generation_ = sessionSerial_io_;
      m.owner_ = this;
      m.subscriptionId_ = ev.id;
      m.ackId_ = m.header("ack").value_or(m.messageId());
      if (info->ackMode != AckMode::Auto) acks_io_.delivered(ev.id, m.ackId_, info->ackMode == AckMode::Client);
      startDelivery();
      if (!deliveries_.push(DeliveryItem{DeliveryItem::Kind::Message, std::move(m), info->ackMode, nullptr, {}}))
        readPaused_io_ = true;
      return;
    }
    case IncomingEvent::Kind::Receipt: {
      if (auto entry = receipts_io_.take(ev.id))  // none: a late receipt after its time-out
        if (entry->done) entry->done(nullptr);
      return;
    }
    case IncomingEvent::Kind::Error: {
      if (auto entry = ev.id.empty() ? std::nullopt : receipts_io_.take(ev.id)) {
        // The broker refused one request: that caller gets the error.
        const Failure refused = Failure::of(brokerErrorFrom(ev.frame, entry->what + " on '" + uri_.text + "'"));
        if (entry->done) entry->done(&refused);
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

void ConnectionCore::lose(std::exception_ptr e, bool fatal) {
  if (phase_io_ != Phase::Connected) return;
  closeStream();
  session_io_.onDisconnected();
  connected_ = false;
  acks_io_.clear();
  transactions_io_.clear();  // the broker rolls them back
  const std::string reason = describe(e);
  failPending(Failure(Failure::Kind::ConnectionLost, reason + " (the broker may or may not have taken this message)"));
  deliveries_.dropRedeliverable();
  if (!fatal && uri_.failover) {
    post(DeliveryItem{DeliveryItem::Kind::Interrupted, {}, AckMode::Auto, nullptr, {}});
    phase_io_ = Phase::Reconnecting;
    lastFailure_io_ = e;
    carryOut(plan_io_.sessionLost(Clock::now()));
  } else {
    phase_io_ = Phase::Failed;
    post(DeliveryItem{DeliveryItem::Kind::Exception, {}, AckMode::Auto, copyError(e), {}});
  }
}

void ConnectionCore::failPending(const Failure& failure) {
  receiptTimer_io_->cancel();
  receiptTimerArmed_io_ = false;
  for (auto& entry : receipts_io_.takeAll())
    if (entry.done) entry.done(&failure);
  auto waiting = std::move(awaitingConnection_io_);
  awaitingConnection_io_.clear();
  for (auto& send : waiting)
    if (send.done) send.done(toException(failure));
}

void ConnectionCore::closeStream() {
  std::error_code ignored;
  attempt_io_.reset();
  heartBeatTimer_io_->cancel();
  heartBeats_io_.reset();
  if (stream_io_) {
    stream_io_->close();
    stream_io_.reset();
  }
  ++generation_io_;  // every handler of the old stream is now stale
  writeQueue_io_.clear();
  writing_io_ = false;
  readPaused_io_ = false;
}

// ---------------------------------------------------------------- requests on the I/O thread

void ConnectionCore::expectReceipt(const std::string& receipt, std::string what, milliseconds timeout,
                                   ResultHandler done) {
  receipts_io_.expect(receipt, std::move(what), Clock::now() + timeout, std::move(done));
  armReceiptTimer();
}

// One timer for every receipt: it runs out at the earliest deadline.
void ConnectionCore::armReceiptTimer() {
  const auto next = receipts_io_.nextDeadline();
  if (!next || (receiptTimerArmed_io_ && *next >= receiptTimer_io_->expiry())) return;
  receiptTimerArmed_io_ = true;
  receiptTimer_io_->expires_at(*next);
  receiptTimer_io_->async_wait([self = shared_from_this()](std::error_code ec) {
    if (!ec) self->receiptsExpired();
  });
}

void ConnectionCore::receiptsExpired() {
  receiptTimerArmed_io_ = false;
  for (auto& entry : receipts_io_.takeExpired(Clock::now())) {
    const Failure late(Failure::Kind::Timeout, "no receipt for " + entry.what + " on '" + uri_.text + "' in time");
    if (entry.done) entry.done(&late);
  }
  armReceiptTimer();
}

void ConnectionCore::doSend(PendingSend send) {
  switch (phase_io_) {
    case Phase::Connected:
      writeSend(std::move(send));
      return;
    case Phase::Connecting:
    case Phase::Reconnecting: {
      // Not yet written, so it is safe to hold it for the next connection.
      send.timer = std::make_unique<asio::steady_timer>(io());
      send.timer->expires_after(options_.receiptTimeout);
      auto* key = send.timer.get();
      send.timer->async_wait([self = shared_from_this(), key](std::error_code ec) {
        if (!ec) self->sendWaitedTooLong(key);
      });
      awaitingConnection_io_.push_back(std::move(send));
      return;
    }
    default:
      if (send.done)
        send.done(err<ConnectionLostError>("cannot send to " + send.destination.stompName() + ": not connected to '" +
                                           uri_.text + "' (the message was not sent)"));
  }
}

void ConnectionCore::sendWaitedTooLong(const asio::steady_timer* key) {
  auto it = std::find_if(awaitingConnection_io_.begin(), awaitingConnection_io_.end(),
                         [key](const PendingSend& s) { return s.timer.get() == key; });
  if (it == awaitingConnection_io_.end()) return;
  auto done = std::move(it->done);
  std::string dest = it->destination.stompName();
  awaitingConnection_io_.erase(it);
  if (done)
    done(err<TimeoutError>("cannot send to " + dest + ": not connected to '" + uri_.text + "' within " +
                           ms(options_.receiptTimeout) + " (the message was not sent)"));
}

void ConnectionCore::writeSend(PendingSend send) {
  if (!send.message.transaction.empty() && !transactions_io_.count(send.message.transaction)) {
    if (send.done) send.done(toException(transactionLost(send.message.transaction)));
    return;
  }
  // A SEND inside a transaction with nobody waiting is confirmed by the
  // transaction's COMMIT; every other SEND asks for its own receipt.
  const bool confirmedByCommit = !send.done && !send.message.transaction.empty();
  const std::string receipt = confirmedByCommit ? std::string() : receipts_io_.newReceiptId();
  std::string bytes;
  try {
    bytes = encodeFrame(session_io_.sendFrame(send.destination, send.message, receipt),
                        session_io_.encodeOptions(&send.message));
  } catch (...) {
    if (send.done) send.done(toException(Failure::ofCurrentException()));
    return;
  }
  if (!confirmedByCommit)
    expectReceipt(receipt, "send to " + send.destination.stompName(), options_.receiptTimeout,
                  reportingTo(std::move(send.done)));
  write(std::move(bytes));
}

void ConnectionCore::doSubscribe(const std::string& id, const Destination& destination, AckMode mode, Headers extra,
                                 SendCallback done) {
  try {
    session_io_.addSubscription(destination, mode, std::move(extra), id);
  } catch (...) {
    done(toException(Failure::ofCurrentException()));
    return;
  }
  if (phase_io_ != Phase::Connected) {
    done(nullptr);  // sent on connecting
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
    done(toException(Failure::ofCurrentException()));
    return;
  }
  expectReceipt(receipt, "subscribe to " + destination.stompName(), options_.receiptTimeout,
                reportingTo(std::move(done)));
  write(std::move(bytes));
}

void ConnectionCore::doUnsubscribe(const std::string& id) {
  if (!session_io_.subscription(id)) return;
  if (phase_io_ == Phase::Connected) write(encodeFrame(session_io_.unsubscribeFrame(id), session_io_.encodeOptions()));
  session_io_.removeSubscription(id);
  acks_io_.purge(id);
}

// ---------------------------------------------------------------- closing

void ConnectionCore::beginClose() {
  reconnectTimer_io_->cancel();
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

void ConnectionCore::finishClose() {
  if (phase_io_ == Phase::Closed) return;
  phase_io_ = Phase::Closed;
  attemptDone_io_ = nullptr;
  closeStream();
  reconnectTimer_io_->cancel();
  session_io_.onDisconnected();
  connected_ = false;
  const std::string reason = "connection to '" + uri_.text + "' closed";
  failPending(Failure(Failure::Kind::ConnectionLost, reason));
  if (auto cb = std::move(startDone_io_))
    cb(err<ConnectError>("cannot connect to '" + uri_.text + "': closed while connecting"));
  if (auto p = std::move(closePromise_io_)) p->set_value();
}

}  // namespace stomp::detail

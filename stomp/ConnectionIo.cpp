// ConnectionCore on the I/O thread: connecting under the failover plan,
// reading, writing and heart-beats.
#include "stomp/Completion.h"
#include "stomp/ConnectionCore.h"
#include "stomp/ConnectionSupport.h"

#include <algorithm>

namespace stomp::detail {

// ---------------------------------------------------------------- connecting

void ConnectionCore::carryOut(const FailoverStep& step) {
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
      reconnectTimer_io_->expires_after(step.delay);
      reconnectTimer_io_->async_wait([self = shared_from_this()](std::error_code ec) {
        if (!ec && (self->phase_io_ == Phase::Connecting || self->phase_io_ == Phase::Reconnecting))
          self->carryOut(self->plan_io_.waited(Clock::now()));
      });
      return;
    case FailoverStep::Kind::GiveUp:
      giveUp(lastFailure_io_);
      return;
  }
}

void ConnectionCore::attemptFailed(std::exception_ptr e) {
  if (phase_io_ != Phase::Connecting && phase_io_ != Phase::Reconnecting) return;
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

void ConnectionCore::giveUp(std::exception_ptr e) {
  closeStream();
  std::string reason = describe(e);
  const int attempts = plan_io_.attempts();
  if (plan_io_.startingUp()) {
    phase_io_ = Phase::Idle;
    std::exception_ptr out;
    std::string prefix = "cannot connect to '" + uri_.text + "'";
    if (uri_.failover) prefix += " (" + std::to_string(attempts) + " attempt" + (attempts == 1 ? "" : "s") + ")";
    try {
      std::rethrow_exception(e);
    } catch (const BrokerError& x) {
      out = std::make_exception_ptr(BrokerError(prefix + ": " + x.what(), x.brokerMessage(), x.details()));
    } catch (...) {
      out = err<ConnectError>(prefix + ": " + reason);
    }
    failPending(Failure::of(*copyError(out)));
    if (auto cb = std::move(startDone_io_)) cb(std::move(out));
    return;
  }
  phase_io_ = Phase::Failed;
  auto lost = err<ConnectionLostError>("connection to '" + uri_.text + "' lost; reconnecting gave up after " +
                                       std::to_string(attempts) + " attempts: " + reason);
  failPending(Failure::of(*copyError(lost)));
  post(DeliveryItem{DeliveryItem::Kind::Exception, {}, AckMode::Auto, copyError(lost), {}});
}

void ConnectionCore::connectTo(const Endpoint& endpoint, milliseconds timeout,
                               std::function<void(std::exception_ptr)> done) {
  closeStream();
  attemptDone_io_ = std::move(done);
  try {
    stream_io_ = std::make_shared<Stream>(io(), endpoint);
  } catch (...) {
    finishAttempt(std::current_exception());
    return;
  }
  decoder_io_.reset();
  decoder_io_.setVersion(Version::V1_0);
  session_io_.setHost(options_.virtualHost.empty() ? endpoint.host : options_.virtualHost);

  attempt_io_ = std::make_shared<ConnectAttempt>(io(), stream_io_, endpoint, timeout);
  // The attempt is ours: a reference to us in it would be a cycle.
  attempt_io_->run([weak = weak_from_this(), endpoint](std::exception_ptr e) {
    auto self = weak.lock();
    if (self) self->connected(endpoint, e);
  });
}

void ConnectionCore::connected(const Endpoint& endpoint, std::exception_ptr e) {
  if (e) return finishAttempt(e);
  std::string bytes;
  try {
    bytes = encodeFrame(session_io_.connectFrame(), EncodeOptions{Version::V1_0, false});
  } catch (const Error& x) {
    return finishAttempt(err<ConnectError>(endpoint.uri + ": " + x.what()));
  }
  write(std::move(bytes));
  startRead();
}

void ConnectionCore::finishAttempt(std::exception_ptr e) {
  attempt_io_.reset();  // its time-out and handlers go with it
  auto done = std::move(attemptDone_io_);
  attemptDone_io_ = nullptr;
  if (e) closeStream();
  if (done) done(e);
}

void ConnectionCore::onSessionUp() {
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
    post(DeliveryItem{DeliveryItem::Kind::Restored, {}, AckMode::Auto, nullptr, {}});
  } else {
    if (auto cb = std::move(startDone_io_)) cb(nullptr);
  }
}

// ---------------------------------------------------------------- reading and writing

void ConnectionCore::startRead() {
  auto stream = stream_io_;
  const auto gen = generation_io_;
  stream->readSome(asio::buffer(readBuffer_io_), [self = shared_from_this(), stream, gen](
                                                     std::error_code ec, std::size_t n) { self->onRead(gen, ec, n); });
}

void ConnectionCore::onRead(std::uint64_t gen, std::error_code ec, std::size_t n) {
  if (gen != generation_io_) return;
  if (ec) {
    std::string why =
        ec == asio::error::eof ? std::string("the broker closed the connection") : "read failed: " + ec.message();
    transportError(err<ConnectionLostError>("connection to '" + uri_.text + "' lost: " + why));
    return;
  }
  if (heartBeats_io_) heartBeats_io_->onRead(Clock::now());
  std::exception_ptr broken;
  try {
    decoder_io_.feed(readBuffer_io_.data(), n);
  } catch (const ProtocolError& x) {
    broken = err<ProtocolError>("protocol error on '" + uri_.text + "': " + x.what());
  }
  // Frames completed before a broken spot still count.
  while (gen == generation_io_ && decoder_io_.hasFrame()) onFrame(decoder_io_.next());
  if (gen != generation_io_) return;
  if (broken)
    transportError(broken);
  else if (!readPaused_io_)
    startRead();
}

void ConnectionCore::transportError(std::exception_ptr e) {
  if (attemptDone_io_)
    finishAttempt(e);
  else if (phase_io_ == Phase::Connected)
    lose(e, false);
  else if (phase_io_ == Phase::Closing)
    finishClose();
  else
    closeStream();
}

void ConnectionCore::write(std::string bytes) {
  if (!stream_io_) return;
  writeQueue_io_.push_back(std::move(bytes));
  if (!writing_io_) writeNext();
}

void ConnectionCore::writeNext() {
  if (writeQueue_io_.empty()) {
    writing_io_ = false;
    return;
  }
  // Coalesce queued frames into one write.
  if (writeQueue_io_.size() > 1) {
    std::string joined;
    for (auto& b : writeQueue_io_) joined += b;
    writeQueue_io_.clear();
    writeQueue_io_.push_back(std::move(joined));
  }
  writing_io_ = true;
  auto stream = stream_io_;
  const auto gen = generation_io_;
  stream->write(
      asio::buffer(writeQueue_io_.front()),
      [self = shared_from_this(), stream, gen](std::error_code ec, std::size_t) { self->onWritten(gen, ec); });
}

void ConnectionCore::onWritten(std::uint64_t gen, std::error_code ec) {
  if (gen != generation_io_) return;
  if (ec) {
    transportError(err<ConnectionLostError>("connection to '" + uri_.text + "' lost: write failed: " + ec.message()));
    return;
  }
  if (heartBeats_io_) heartBeats_io_->onWrite(Clock::now());
  writeQueue_io_.pop_front();
  writeNext();
}

void ConnectionCore::armHeartBeats() {
  heartBeats_io_.emplace(session_io_.sendInterval(), session_io_.receiveInterval(), Clock::now());
  if (heartBeats_io_->active()) heartBeatTick(generation_io_);
}

void ConnectionCore::heartBeatTick(std::uint64_t gen) {
  if (readPaused_io_) heartBeats_io_->onRead(Clock::now());  // the silence is ours: we stopped reading
  const HeartBeatAction action = heartBeats_io_->tick(Clock::now(), writing_io_);
  if (action.peerLost) {
    transportError(err<ConnectionLostError>("connection to '" + uri_.text +
                                            "' lost: no data or heart-beat from the broker for " +
                                            ms(heartBeats_io_->lossAfter())));
    return;
  }
  if (action.sendBeat) write("\n");
  heartBeatTimer_io_->expires_at(action.nextTick);
  heartBeatTimer_io_->async_wait([self = shared_from_this(), gen](std::error_code ec) {
    if (!ec && gen == self->generation_io_) self->heartBeatTick(gen);
  });
}

}  // namespace stomp::detail

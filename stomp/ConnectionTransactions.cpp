// ConnectionCore: acknowledgements (with or without a receipt, inside a
// transaction or not), BEGIN/COMMIT/ABORT, and the admission gate that bounds
// the requests waiting for a receipt.
#include "stomp/Completion.h"
#include "stomp/ConnectionCore.h"
#include "stomp/ConnectionSupport.h"

namespace stomp::detail {

// ---------------------------------------------------------------- admission

std::optional<Failure> ConnectionCore::admit(bool blocking, const std::string& what) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto room = [this] { return admitted_ < options_.maxPendingRequests || ioClosing_; };
  if (!room()) {
    if (!blocking)
      return Failure(Failure::Kind::Limit, what + " on '" + uri_.text +
                                               "': " + std::to_string(options_.maxPendingRequests) +
                                               " requests already wait for their receipt (nothing was sent)");
    if (!roomCv_.wait_for(lock, options_.receiptTimeout, room))
      return Failure(Failure::Kind::Timeout, what + " on '" + uri_.text + "': no room among the " +
                                                 std::to_string(options_.maxPendingRequests) +
                                                 " requests waiting for their receipt in time (nothing was sent)");
  }
  ++admitted_;
  return std::nullopt;
}

SendCallback ConnectionCore::releasing(SendCallback done) {
  return [this, self = shared_from_this(), done = std::move(done)](std::exception_ptr e) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --admitted_;
    }
    roomCv_.notify_one();
    if (done) done(std::move(e));
  };
}

// ---------------------------------------------------------------- acknowledgements

void ConnectionCore::ack(const Message& message, bool positive, const std::string& transaction, SendCallback done) {
  if (message.owner_ != this) throw Error("cannot acknowledge: the message was not received on this connection");
  if (!positive && version() == "1.0") throw Error("NACK needs STOMP 1.1 or later; the broker speaks 1.0");
  if (done) {
    if (auto refused = admit(false, "ACK of " + message.messageId())) {
      done(toException(*refused));
      return;
    }
    done = releasing(std::move(done));
  }
  AckRequest request{message.ackId_, {}, message.subscriptionId_, message.generation_, positive, transaction};
  for (const char* name : {"message-id", "ack", "subscription"})
    if (auto v = message.header(name)) request.headers.emplace_back(name, *v);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (threadsStarted_ && !ioClosing_) {
      dispatchIo(
          [this, request = std::move(request), done = std::move(done)]() mutable { doAck(request, std::move(done)); });
      return;
    }
  }
  // The broker delivers an unacknowledged message again.
  if (done) done(std::make_exception_ptr(ConnectionLostError("ACK on '" + uri_.text + "': connection closed")));
}

void ConnectionCore::ackConfirmed(const Message& message) {
  refuseOnIoThread("ackConfirmed");
  Completion done;
  ack(message, true, {}, done.callback());
  done.wait(ConnectionLostError("ACK on '" + uri_.text + "': connection closed"));
}

void ConnectionCore::doAck(const AckRequest& r, SendCallback done) {
  auto fail = [&](Failure f) {
    if (done) done(toException(f));
  };
  // Only messages of this session not yet acknowledged: an ACK the broker
  // does not expect would be answered with an ERROR.
  if (phase_io_ != Phase::Connected || r.session != sessionSerial_io_ || !session_io_.subscription(r.subscription))
    return fail(
        Failure(Failure::Kind::ConnectionLost, "ACK on '" + uri_.text +
                                                   "': the message came on an earlier connection or subscription;"
                                                   " the broker delivers it again"));
  if (!r.transaction.empty() && !transactions_io_.count(r.transaction)) return fail(transactionLost(r.transaction));
  if (!acks_io_.acknowledge(r.ackId)) {
    if (done) done(nullptr);  // settled by an earlier ACK
    return;
  }
  Frame f =
      r.positive ? session_io_.ackFrame(r.headers, r.subscription) : session_io_.nackFrame(r.headers, r.subscription);
  if (!r.transaction.empty()) f.headers.emplace_back("transaction", r.transaction);
  if (done) {
    const std::string receipt = receipts_io_.newReceiptId();
    f.headers.emplace_back("receipt", receipt);
    expectReceipt(receipt, "ACK of " + findHeader(r.headers, "message-id").value_or(r.ackId), options_.receiptTimeout,
                  reportingTo(std::move(done)));
  }
  write(encodeFrame(f, session_io_.encodeOptions()));
}

// ---------------------------------------------------------------- transactions

Failure ConnectionCore::transactionLost(const std::string& transaction) const {
  return Failure(Failure::Kind::ConnectionLost, "transaction " + transaction + " on '" + uri_.text +
                                                    "' ended with its connection; the broker rolled it back");
}

std::string ConnectionCore::beginTransaction() {
  refuseOnIoThread("beginTransaction");
  const std::string transaction = "tx-" + std::to_string(nextTransaction_++);
  if (auto refused = admit(true, "BEGIN of " + transaction)) raise(*refused);
  Completion done;
  auto callback = releasing(done.callback());
  if (!postToIo([this, transaction, callback] { doTransaction("BEGIN", transaction, callback); }))
    callback(std::make_exception_ptr(
        ConnectionLostError("cannot begin a transaction: connection to '" + uri_.text + "' is not open")));
  done.wait(ConnectionLostError("BEGIN on '" + uri_.text + "': connection closed"));
  return transaction;
}

void ConnectionCore::endTransaction(const std::string& transaction, bool commit) {
  const char* command = commit ? "COMMIT" : "ABORT";
  refuseOnIoThread(command);
  if (auto refused = admit(true, std::string(command) + " of " + transaction)) raise(*refused);
  Completion done;
  auto callback = releasing(done.callback());
  if (!postToIo([this, command, transaction, callback] { doTransaction(command, transaction, callback); }))
    callback(toException(transactionLost(transaction)));
  done.wait(ConnectionLostError(std::string(command) + " on '" + uri_.text + "': connection closed"));
}

void ConnectionCore::doTransaction(const char* command, const std::string& transaction, SendCallback done) {
  const bool begin = std::string(command) == "BEGIN";
  if (phase_io_ != Phase::Connected || (!begin && !transactions_io_.count(transaction))) {
    done(toException(begin ? Failure(Failure::Kind::ConnectionLost, "BEGIN on '" + uri_.text + "': not connected")
                           : transactionLost(transaction)));
    return;
  }
  if (begin)
    transactions_io_.insert(transaction);
  else
    transactions_io_.erase(transaction);
  // A pipelined BEGIN has nobody waiting: its COMMIT's receipt tells.
  const std::string receipt = done ? receipts_io_.newReceiptId() : std::string();
  write(encodeFrame(Session::transactionFrame(command, transaction, receipt), session_io_.encodeOptions()));
  if (done)
    expectReceipt(receipt, std::string(command) + " of " + transaction, options_.receiptTimeout,
                  reportingTo(std::move(done)));
}

std::string ConnectionCore::beginAsync() {
  const std::string transaction = "tx-" + std::to_string(nextTransaction_++);
  // Not posted (closed): the transaction is unknown, so its commit fails.
  postToIo([this, transaction] {
    if (phase_io_ == Phase::Connected) doTransaction("BEGIN", transaction, nullptr);
  });
  return transaction;
}

void ConnectionCore::commitAsync(const std::string& transaction, SendCallback done) {
  if (auto refused = admit(false, "COMMIT of " + transaction)) {
    if (done) done(toException(*refused));
    return;
  }
  auto callback = releasing(done ? std::move(done) : [](std::exception_ptr) {});
  if (!postToIo([this, transaction, callback] { doTransaction("COMMIT", transaction, callback); }))
    callback(toException(transactionLost(transaction)));
}

bool ConnectionCore::postToIo(std::function<void()> work) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!threadsStarted_ || ioClosing_) return false;
  dispatchIo(std::move(work));
  return true;
}

}  // namespace stomp::detail

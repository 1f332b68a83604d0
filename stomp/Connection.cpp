#include "stomp/Connection.h"

#include "stomp/BrokerUri.h"
#include "stomp/ConnectionCore.h"

namespace stomp {

namespace {

ConnectionOptions checked(ConnectionOptions o, const std::string& uri) {
  auto bad = [&](const char* what) { throw Error("invalid options for '" + uri + "': " + what); };
  if (o.connectTimeout.count() <= 0) bad("connectTimeout must be positive");
  if (o.receiptTimeout.count() <= 0) bad("receiptTimeout must be positive");
  if (o.stableSessionTime.count() < 0) bad("stableSessionTime must not be negative");
  if (o.maxPendingRequests == 0 || o.maxQueuedDeliveries == 0)
    bad("maxPendingRequests and maxQueuedDeliveries must be positive");
  if (o.closeTimeout.count() < 0) bad("closeTimeout must not be negative");
  if (o.heartBeatSend.count() < 0 || o.heartBeatReceive.count() < 0) bad("heart-beat intervals must not be negative");
  return o;
}

}  // namespace

Connection::Connection(std::string brokerUri, ConnectionOptions options) : uri_(std::move(brokerUri)) {
  BrokerUri parsed = parseBrokerUri(uri_);
  core_ = std::make_shared<detail::ConnectionCore>(std::move(parsed), checked(std::move(options), uri_));
}

Connection::~Connection() {
  try {
    close();
  } catch (...) {
  }
}

void Connection::start() { core_->start(); }

void Connection::setExceptionListener(ExceptionListener listener) { core_->setExceptionListener(std::move(listener)); }

void Connection::runOnDelivery(std::function<void()> task) { core_->runOnDelivery(std::move(task)); }

void Connection::setTransportListener(TransportListener listener) { core_->setTransportListener(std::move(listener)); }

std::string Connection::subscribe(const Destination& destination, MessageListener listener, AckMode ackMode,
                                  Headers extra) {
  return core_->subscribe(destination, std::move(listener), ackMode, std::move(extra));
}

void Connection::unsubscribe(const std::string& subscriptionId) { core_->unsubscribe(subscriptionId); }

void Connection::send(const Destination& destination, const OutgoingMessage& message) {
  core_->send(destination, message);
}

std::future<void> Connection::sendAsync(const Destination& destination, const OutgoingMessage& message) {
  auto promise = std::make_shared<std::promise<void>>();
  auto future = promise->get_future();
  core_->sendAsync(destination, message, [promise](std::exception_ptr e) {
    if (e)
      promise->set_exception(std::move(e));
    else
      promise->set_value();
  });
  return future;
}

void Connection::sendAsync(const Destination& destination, const OutgoingMessage& message, SendCallback done) {
  core_->sendAsync(destination, message, std::move(done));
}

void Connection::ack(const Message& message) { core_->ack(message, true, {}, nullptr); }

void Connection::nack(const Message& message) { core_->ack(message, false, {}, nullptr); }

void Connection::ackConfirmed(const Message& message) { core_->ackConfirmed(message); }

void Connection::ackAsync(const Message& message, SendCallback done) {
  core_->ack(
      message, true, {}, done ? std::move(done) : [](std::exception_ptr) {});
}

std::string Connection::beginTransaction() { return core_->beginTransaction(); }

void Connection::commit(const std::string& transaction) { core_->endTransaction(transaction, true); }

void Connection::abort(const std::string& transaction) { core_->endTransaction(transaction, false); }

void Connection::ack(const Message& message, const std::string& transaction) {
  core_->ack(message, true, transaction, nullptr);
}

std::string Connection::beginAsync() { return core_->beginAsync(); }

void Connection::sendInTransaction(const Destination& destination, const OutgoingMessage& message) {
  if (message.transaction.empty()) throw Error("sendInTransaction: the message names no transaction");
  core_->post(destination, message, nullptr);
}

void Connection::sendInTransaction(const Destination& destination, const OutgoingMessage& message, SendCallback done) {
  if (message.transaction.empty()) throw Error("sendInTransaction: the message names no transaction");
  core_->post(destination, message, std::move(done));
}

void Connection::commitAsync(const std::string& transaction, SendCallback done) {
  core_->commitAsync(transaction, std::move(done));
}

void Connection::close() {
  auto core = core_;  // stays alive even if a listener destroys this object meanwhile
  core->close();
}

bool Connection::isConnected() const { return core_->isConnected(); }

std::string Connection::version() const { return core_->version(); }

}  // namespace stomp

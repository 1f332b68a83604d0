#include "bus/AsyncProducer.h"

#include <cstdio>
#include <future>
#include <mutex>
#include <memory>
#include <stdexcept>

#include "bus/BrokerSettings.h"
#include "support/DailyLog.h"
#include "support/Metrics.h"
#include "support/PasswordMask.h"

void AsyncProducer::configure(const std::string& uri, const std::string& queue, bool topic, bool isTransacted) {
  close();
  brokerURI = uri;
  destURI = queue;
  useTopic = topic;
  transacted = isTransacted;
}

int AsyncProducer::init() {
  try {
    // Replies are confirmed one by one by the broker; a transaction around
    // them is not offered, and silently ignoring the flag would be worse.
    if (transacted) throw std::invalid_argument("transacted producers are not supported");
    connection = std::make_unique<stomp::Connection>(brokerURI, brokerOptions(config_));
    if (onLost_) connection->setExceptionListener([this](const stomp::Error& e) { onLost_(e); });
    // Under failover: what /health and the metrics show of this connection.
    connection->setTransportListener({[this] { serviceMetrics().connectionUp(destURI, false); },
                                      [this] {
                                        serviceMetrics().connectionUp(destURI, true);
                                        serviceMetrics().connectionReconnected(destURI);
                                      }});
    connection->start();
    ready_ = true;
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Producer %s: %s\n", destURI.c_str(), e.what());
    std::fflush(stderr);
    writeLog("Producer destURI:%s init fail\n", destURI.c_str());
    return -1;
  }
}

void AsyncProducer::send(std::string text) { sendReply(std::move(text), std::string()); }

void AsyncProducer::sendReply(std::string text, const std::string& correlationId) {
  try {
    if (!ready()) throw stomp::ConnectionLostError("producer of " + destURI + " is not open");
    stomp::OutgoingMessage message(text, correlationId);
    message.persistent = true;
    connection->send(brokerDestination(destURI, useTopic), message);
  } catch (const stomp::Error&) {
    writeLog("DestURI:%s,Send failed: %s\n", destURI.c_str(), maskPasswords(text).c_str());
    throw;
  }
  writeLog("DestURI:%s,Send: %s\n", destURI.c_str(), maskPasswords(text).c_str());
}

void AsyncProducer::sendReplies(const std::vector<OutgoingReply>& replies) {
  if (replies.size() == 1) return sendReply(replies.front().text, replies.front().correlationId);
  try {
    if (!ready()) throw stomp::ConnectionLostError("producer of " + destURI + " is not open");
    const stomp::Destination to = brokerDestination(destURI, useTopic);
    const std::string tx = connection->beginAsync();
    // Each send asks for a receipt, so that a broker refusing one of them
    // names it in its ERROR instead of ending the connection.
    auto refusal = std::make_shared<std::pair<std::mutex, std::exception_ptr>>();
    for (const OutgoingReply& r : replies) {
      stomp::OutgoingMessage message(r.text, r.correlationId);
      message.persistent = true;
      message.transaction = tx;
      connection->sendInTransaction(to, message, [refusal](std::exception_ptr e) {
        std::lock_guard<std::mutex> lock(refusal->first);
        if (e && !refusal->second) refusal->second = e;
      });
    }
    auto committed = std::make_shared<std::promise<void>>();
    std::future<void> confirmation = committed->get_future();
    connection->commitAsync(tx, [committed](std::exception_ptr e) {
      if (e)
        committed->set_exception(e);
      else
        committed->set_value();
    });
    confirmation.get();  // the commit's receipt is bounded by the receipt time-out
    // The sends' receipts came before the commit's.
    std::lock_guard<std::mutex> lock(refusal->first);
    if (refusal->second) std::rethrow_exception(refusal->second);
  } catch (const stomp::Error&) {
    for (const OutgoingReply& r : replies)
      writeLog("DestURI:%s,Send failed: %s\n", destURI.c_str(), maskPasswords(r.text).c_str());
    throw;
  }
  for (const OutgoingReply& r : replies)
    writeLog("DestURI:%s,Send: %s\n", destURI.c_str(), maskPasswords(r.text).c_str());
}

void AsyncProducer::close() {
  ready_ = false;
  if (!connection) return;
  try {
    connection->close();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Producer %s: close: %s\n", destURI.c_str(), e.what());
  }
  connection.reset();
}

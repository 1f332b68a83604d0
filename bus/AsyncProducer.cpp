#include "bus/AsyncProducer.h"

#include <atomic>
#include <cstdio>
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

void AsyncProducer::sendRepliesAsync(const std::vector<OutgoingReply>& replies, SentCallback done) {
  struct Pending {
    std::vector<OutgoingReply> replies;
    std::string destination;
    SentCallback done;
    std::atomic<bool> told{false};
    std::mutex mutex;
    std::exception_ptr refusal;  // of one send in the transaction
  };
  auto pending = std::make_shared<Pending>();
  pending->replies = replies;
  pending->destination = destURI;
  pending->done = std::move(done);
  // Logs every reply as sent or not, then tells the outcome, once.
  auto finish = [pending](std::exception_ptr error) {
    if (pending->told.exchange(true)) return;
    SendResult result = SendResult::Confirmed;
    std::string why;
    if (error) {
      result = SendResult::Failed;
      try {
        std::rethrow_exception(error);
      } catch (const stomp::BrokerError& e) {
        result = SendResult::Refused;
        why = e.what();
      } catch (const std::exception& e) {
        why = e.what();
      } catch (...) {
        why = "unknown error";
      }
    }
    const char* line = error ? "DestURI:%s,Send failed: %s\n" : "DestURI:%s,Send: %s\n";
    for (const OutgoingReply& r : pending->replies)
      writeLog(line, pending->destination.c_str(), maskPasswords(r.text).c_str());
    pending->done(result, why);
  };
  try {
    if (!ready()) throw stomp::ConnectionLostError("producer of " + destURI + " is not open");
    const stomp::Destination to = brokerDestination(destURI, useTopic);
    if (replies.size() == 1) {
      stomp::OutgoingMessage message(replies.front().text, replies.front().correlationId);
      message.persistent = true;
      return connection->sendAsync(to, message, finish);
    }
    const std::string tx = connection->beginAsync();
    // Each send asks for a receipt, so that a broker refusing one of them
    // names it in its ERROR instead of ending the connection.
    for (const OutgoingReply& r : replies) {
      stomp::OutgoingMessage message(r.text, r.correlationId);
      message.persistent = true;
      message.transaction = tx;
      connection->sendInTransaction(to, message, [pending](std::exception_ptr e) {
        std::lock_guard<std::mutex> lock(pending->mutex);
        if (e && !pending->refusal) pending->refusal = e;
      });
    }
    connection->commitAsync(tx, [pending, finish](std::exception_ptr e) {
      if (!e) {
        // The sends' receipts came before the commit's.
        std::lock_guard<std::mutex> lock(pending->mutex);
        e = pending->refusal;
      }
      finish(e);
    });
  } catch (const std::exception&) {
    finish(std::current_exception());
  }
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

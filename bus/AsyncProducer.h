#pragma once
// Sends the replies of one callback queue: one broker connection, persistent
// text messages, each confirmed by the broker before send returns, each
// written to the daily log.
#include <functional>
#include <memory>
#include <string>

#include "bus/ReplyChannel.h"
#include "host/ServiceConfig.h"
#include "manager/ReplySender.h"
#include "stomp/Client.h"

class AsyncProducer : public ReplySender, public ReplyChannel {
 public:
  // Called on the connection's thread when the connection is lost for good
  // after init (no failover, or failover gave up): from then on no reply of
  // this queue could be delivered while requests were still carried out.
  using LostHandler = std::function<void(const stomp::Error&)>;

  // Credentials are read from config at every init.
  explicit AsyncProducer(const ServiceConfig& config, LostHandler onLost = {})
      : config_(config), onLost_(std::move(onLost)) {}
  virtual ~AsyncProducer() { close(); }

  AsyncProducer(const AsyncProducer&) = delete;
  AsyncProducer& operator=(const AsyncProducer&) = delete;

  // Stores the settings and drops any open connection; opens nothing.
  void configure(const std::string& brokerURI, const std::string& destURI, bool useTopic, bool transacted);
  // Opens the connection: 1 when ready, -1 after a broker error (printed on
  // standard error; "Producer destURI:%s init fail\n" in the daily log).
  int init();
  // A reply without correlation id.
  void send(std::string text) override;
  // Persistent send, returning once the broker has taken the message; then
  // "DestURI:%s,Send: %s\n" in the daily log. When the broker refuses it or
  // does not confirm it in time, the whole text goes to the daily log as
  // "DestURI:%s,Send failed: %s\n" (for reconciliation) and the stomp::Error
  // is rethrown. Logged texts have their passwords masked.
  void sendReply(std::string text, const std::string& correlationId) override;
  // The replies in one transaction, committed with one receipt (a lone
  // reply: one send with its receipt), without waiting; each is logged as
  // sendReply logs it ("Send" or "Send failed"), then done is told, on the
  // connection's I/O thread (at once when the producer is not open).
  void sendRepliesAsync(const std::vector<OutgoingReply>& replies, SentCallback done) override;
  // Releases the connection; any number of times. Must not overlap a send.
  void close();

  const std::string& destination() const override { return destURI; }
  bool ready() const { return connection != nullptr && ready_; }

 private:
  std::unique_ptr<stomp::Connection> connection;
  bool useTopic = false;
  bool transacted = false;
  std::string brokerURI;
  std::string destURI;

  const ServiceConfig& config_;
  LostHandler onLost_;
  bool ready_ = false;
};

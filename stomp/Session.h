#pragma once
// STOMP session state and frame building. Protocol core: no sockets, no
// threads, no clock. Tracks the negotiated version and heart-beats and the
// subscriptions (to restore them after a reconnection); the frames waiting
// for a receipt are the ReceiptTable's.
#include "stomp/Destination.h"
#include "stomp/Error.h"
#include "stomp/OutgoingMessage.h"
#include "stomp/Frame.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace stomp {

struct SessionConfig {
  std::string host;   // CONNECT host header
  std::string login;  // sent only with a non-empty passcode
  std::string passcode;
  std::string clientId;
  std::chrono::milliseconds heartBeatSend{0};     // cx: we can send every cx ms
  std::chrono::milliseconds heartBeatReceive{0};  // cy: we want data every cy ms
};

struct SubscriptionInfo {
  std::string id;
  Destination destination;
  AckMode ackMode;
  Headers extra;
};

// What an incoming frame means for the connection.
struct IncomingEvent {
  enum class Kind { Message, Receipt, Error };
  Kind kind;
  std::string id;  // subscription id (Message) or receipt id (Receipt, Error)
  Frame frame;
};

class Session {
 public:
  explicit Session(SessionConfig config = {});

  // --- connecting ---------------------------------------------------
  Frame connectFrame() const;
  void setHost(std::string host) { config_.host = std::move(host); }
  // Takes the broker's answer to CONNECT: negotiates version and
  // heart-beats. ERROR -> BrokerError; anything else -> ProtocolError.
  void onConnected(const Frame& frame);
  bool connected() const { return connected_; }
  // Forgets the connection, not the subscriptions.
  void onDisconnected();

  Version version() const { return version_; }
  // 0 = none in that direction.
  std::chrono::milliseconds sendInterval() const { return sendInterval_; }
  std::chrono::milliseconds receiveInterval() const { return receiveInterval_; }
  const std::string& serverName() const { return server_; }

  // --- subscriptions --------------------------------------------------
  // Registers under a fresh id ("sub-N") or the given one.
  const SubscriptionInfo& addSubscription(const Destination& destination, AckMode mode, Headers extra,
                                          std::string id = {});
  bool removeSubscription(std::string id);  // by value: the id may be the record's own
  const SubscriptionInfo* subscription(const std::string& id) const;
  std::vector<std::string> subscriptionIds() const;
  Frame subscribeFrame(const std::string& id) const;
  Frame unsubscribeFrame(const std::string& id) const;

  // --- sending --------------------------------------------------------
  Frame sendFrame(const Destination& destination, const OutgoingMessage& message, const std::string& receipt) const;
  // Whether the SEND frame for `message` carries content-length.
  static bool needsContentLength(const OutgoingMessage& message);
  // ACK/NACK in the negotiated version's form, from a MESSAGE frame's
  // headers and the subscription it came through.
  Frame ackFrame(const Headers& messageHeaders, const std::string& subscriptionId) const;
  Frame nackFrame(const Headers& messageHeaders, const std::string& subscriptionId) const;
  Frame disconnectFrame(const std::string& receipt) const;
  // BEGIN, COMMIT or ABORT of `transaction`.
  static Frame transactionFrame(const char* command, const std::string& transaction, const std::string& receipt);

  // --- receiving ------------------------------------------------------
  // Classifies a frame of an established session. A MESSAGE for a subscription already gone or a
  // late RECEIPT is reported as well (the caller drops it); an unknown
  // command is a ProtocolError.
  IncomingEvent onFrame(Frame frame);

  EncodeOptions encodeOptions(const OutgoingMessage* message = nullptr) const;

 private:
  Frame ackOrNack(const char* command, const Headers& messageHeaders, const std::string& subscriptionId) const;

  SessionConfig config_;
  bool connected_ = false;
  Version version_ = Version::V1_0;
  std::chrono::milliseconds sendInterval_{0};
  std::chrono::milliseconds receiveInterval_{0};
  std::string server_;
  std::map<std::string, SubscriptionInfo> subscriptions_;
  std::vector<std::string> order_;  // subscription ids in the order made
  std::uint64_t nextSubscription_ = 1;
};

const char* ackModeName(AckMode mode);

// The error an ERROR frame stands for; `context` (e.g. the URI) prefixes what().
BrokerError brokerErrorFrom(const Frame& errorFrame, const std::string& context = {});

}  // namespace stomp

#include "stomp/Session.h"

#include "stomp/Error.h"

#include <algorithm>

namespace stomp {

const char* ackModeName(AckMode mode) {
  switch (mode) {
    case AckMode::Auto:
      return "auto";
    case AckMode::Client:
      return "client";
    case AckMode::ClientIndividual:
    case AckMode::AfterCallback:
      return "client-individual";
  }
  return "auto";
}

Session::Session(SessionConfig config) : config_(std::move(config)) {}

Frame Session::connectFrame() const {
  Frame f;
  f.command = "CONNECT";
  f.headers.emplace_back("accept-version", "1.0,1.1,1.2");
  f.headers.emplace_back("host", config_.host);
  f.headers.emplace_back("heart-beat", std::to_string(config_.heartBeatSend.count()) + "," +
                                           std::to_string(config_.heartBeatReceive.count()));
  if (!config_.login.empty() && !config_.passcode.empty()) {
    f.headers.emplace_back("login", config_.login);
    f.headers.emplace_back("passcode", config_.passcode);
  }
  if (!config_.clientId.empty()) f.headers.emplace_back("client-id", config_.clientId);
  return f;
}

namespace {

long long parseInterval(const std::string& text, const std::string& whole) {
  if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos)
    throw ProtocolError("invalid heart-beat header '" + whole + "' in CONNECTED");
  return std::stoll(text);
}

std::string brokerErrorText(const Frame& f) {
  std::string message = f.header("message").value_or("");
  std::string text = "broker error";
  if (!message.empty())
    text += ": " + message;
  else if (!f.body.empty())
    text += ": " + f.body.substr(0, f.body.find('\n'));
  return text;
}

}  // namespace

BrokerError brokerErrorFrom(const Frame& f, const std::string& context) {
  std::string what = brokerErrorText(f);
  if (!context.empty()) what = context + ": " + what;
  return BrokerError(what, f.header("message").value_or(""), f.body);
}

void Session::onConnected(const Frame& f) {
  if (f.command == "ERROR") throw brokerErrorFrom(f);
  if (f.command != "CONNECTED") throw ProtocolError("expected CONNECTED, got " + f.command);

  std::string v = f.header("version").value_or("1.0");
  if (v == "1.0")
    version_ = Version::V1_0;
  else if (v == "1.1")
    version_ = Version::V1_1;
  else if (v == "1.2")
    version_ = Version::V1_2;
  else
    throw ProtocolError("broker chose unsupported STOMP version '" + v + "'");

  sendInterval_ = receiveInterval_ = std::chrono::milliseconds(0);
  if (version_ != Version::V1_0) {
    if (auto hb = f.header("heart-beat")) {
      auto comma = hb->find(',');
      if (comma == std::string::npos) throw ProtocolError("invalid heart-beat header '" + *hb + "' in CONNECTED");
      long long sx = parseInterval(hb->substr(0, comma), *hb);
      long long sy = parseInterval(hb->substr(comma + 1), *hb);
      long long cx = config_.heartBeatSend.count();
      long long cy = config_.heartBeatReceive.count();
      if (cx > 0 && sy > 0) sendInterval_ = std::chrono::milliseconds(std::max(cx, sy));
      if (cy > 0 && sx > 0) receiveInterval_ = std::chrono::milliseconds(std::max(cy, sx));
    }
  }
  server_ = f.header("server").value_or("");
  connected_ = true;
}

void Session::onDisconnected() {
  connected_ = false;
  sendInterval_ = receiveInterval_ = std::chrono::milliseconds(0);
}

const SubscriptionInfo& Session::addSubscription(const Destination& destination, AckMode mode, Headers extra,
                                                 std::string id) {
  if (id.empty()) id = "sub-" + std::to_string(nextSubscription_++);
  if (subscriptions_.count(id)) throw Error("subscription id '" + id + "' already in use");
  order_.push_back(id);
  auto& info = subscriptions_.emplace(id, SubscriptionInfo{id, destination, mode, std::move(extra)}).first->second;
  return info;
}

bool Session::removeSubscription(std::string id) {
  if (!subscriptions_.erase(id)) return false;
  order_.erase(std::remove(order_.begin(), order_.end(), id), order_.end());
  return true;
}

const SubscriptionInfo* Session::subscription(const std::string& id) const {
  auto it = subscriptions_.find(id);
  return it == subscriptions_.end() ? nullptr : &it->second;
}

std::vector<std::string> Session::subscriptionIds() const { return order_; }

Frame Session::subscribeFrame(const std::string& id) const {
  const SubscriptionInfo* info = subscription(id);
  if (!info) throw Error("no subscription '" + id + "'");
  Frame f;
  f.command = "SUBSCRIBE";
  f.headers.emplace_back("id", info->id);
  f.headers.emplace_back("destination", info->destination.stompName());
  f.headers.emplace_back("ack", ackModeName(info->ackMode));
  for (const auto& h : info->extra)
    if (h.first != "id" && h.first != "destination" && h.first != "ack") f.headers.push_back(h);
  return f;
}

Frame Session::unsubscribeFrame(const std::string& id) const {
  Frame f;
  f.command = "UNSUBSCRIBE";
  f.headers.emplace_back("id", id);
  if (version_ == Version::V1_0)
    if (const SubscriptionInfo* info = subscription(id))
      f.headers.emplace_back("destination", info->destination.stompName());
  return f;
}

bool Session::needsContentLength(const OutgoingMessage& message) {
  return message.bytes || message.body.find('\0') != std::string::npos;
}

Frame Session::sendFrame(const Destination& destination, const OutgoingMessage& message,
                         const std::string& receipt) const {
  Frame f;
  f.command = "SEND";
  f.headers.emplace_back("destination", destination.stompName());
  if (message.persistent) f.headers.emplace_back("persistent", "true");
  if (!receipt.empty()) f.headers.emplace_back("receipt", receipt);
  if (!message.correlationId.empty()) f.headers.emplace_back("correlation-id", message.correlationId);
  if (!message.transaction.empty()) f.headers.emplace_back("transaction", message.transaction);
  // A body with a NUL byte needs content-length, which alone would make a
  // bytes message for JMS consumers: mark it as text explicitly.
  if (!message.bytes && needsContentLength(message)) f.headers.emplace_back("amq-msg-type", "text");
  for (const auto& h : message.headers) {
    if (h.first == "destination" || h.first == "receipt" || h.first == "content-length" || h.first == "persistent" ||
        h.first == "amq-msg-type" || h.first == "transaction" ||
        (h.first == "correlation-id" && !message.correlationId.empty()))
      continue;
    f.headers.push_back(h);
  }
  f.body = message.body;
  return f;
}

EncodeOptions Session::encodeOptions(const OutgoingMessage* message) const {
  EncodeOptions o;
  o.version = version_;
  o.contentLength = message && needsContentLength(*message);
  return o;
}

Frame Session::ackOrNack(const char* command, const Headers& h, const std::string& subscriptionId) const {
  Frame f;
  f.command = command;
  auto messageId = findHeader(h, "message-id");
  switch (version_) {
    case Version::V1_2: {
      auto ack = findHeader(h, "ack");
      if (!ack) ack = messageId;
      if (!ack) throw ProtocolError("message without ack or message-id header cannot be acknowledged");
      f.headers.emplace_back("id", *ack);
      break;
    }
    case Version::V1_1:
      if (!messageId) throw ProtocolError("message without message-id cannot be acknowledged");
      f.headers.emplace_back("message-id", *messageId);
      f.headers.emplace_back("subscription", subscriptionId);
      break;
    case Version::V1_0:
      if (!messageId) throw ProtocolError("message without message-id cannot be acknowledged");
      f.headers.emplace_back("message-id", *messageId);
      break;
  }
  return f;
}

Frame Session::ackFrame(const Headers& h, const std::string& subscriptionId) const {
  return ackOrNack("ACK", h, subscriptionId);
}

Frame Session::nackFrame(const Headers& h, const std::string& subscriptionId) const {
  if (version_ == Version::V1_0) throw Error("NACK needs STOMP 1.1 or later; the broker speaks 1.0");
  return ackOrNack("NACK", h, subscriptionId);
}

Frame Session::disconnectFrame(const std::string& receipt) const {
  Frame f;
  f.command = "DISCONNECT";
  if (!receipt.empty()) f.headers.emplace_back("receipt", receipt);
  return f;
}

Frame Session::transactionFrame(const char* command, const std::string& transaction, const std::string& receipt) {
  Frame f;
  f.command = command;
  f.headers.emplace_back("transaction", transaction);
  if (!receipt.empty()) f.headers.emplace_back("receipt", receipt);
  return f;
}

IncomingEvent Session::onFrame(Frame f) {
  if (f.command == "MESSAGE") {
    std::string sub = f.header("subscription").value_or("");
    if (sub.empty()) {
      // 1.0 brokers may omit it: match by destination.
      std::string dest = f.header("destination").value_or("");
      for (const auto& id : order_)
        if (subscriptions_.at(id).destination.stompName() == dest) {
          sub = id;
          break;
        }
    }
    return IncomingEvent{IncomingEvent::Kind::Message, sub, std::move(f)};
  }
  if (f.command == "RECEIPT") {
    auto id = f.header("receipt-id");
    if (!id) throw ProtocolError("RECEIPT without receipt-id");
    return IncomingEvent{IncomingEvent::Kind::Receipt, *id, std::move(f)};
  }
  if (f.command == "ERROR") {
    std::string id = f.header("receipt-id").value_or("");
    return IncomingEvent{IncomingEvent::Kind::Error, id, std::move(f)};
  }
  throw ProtocolError("unexpected " + f.command + " frame from the broker");
}

}  // namespace stomp

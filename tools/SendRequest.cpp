#include "tools/SendRequest.h"

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>

#include "support/Json.h"
#include "stomp/Client.h"

ServiceConfig loadSendConfig(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw SendError("cannot read " + path);
  std::ostringstream content;
  content << in.rdbuf();
  Json::Value document;
  std::string error;
  if (!parseJson(content.str(), document, &error) || !document.isObject())
    throw SendError(path + ": not a JSON object");
  ServiceConfig config;
  try {
    config = ServiceConfig(document);
  } catch (const Json::Exception& e) {
    throw SendError(path + ": a value has the wrong type (" + e.what() + ")");
  }
  if (config.brokerURI.empty()) throw SendError(path + ": \"brokerURI\" is empty or missing");
  return config;
}

std::string freshCorrelationId() {
  std::random_device random;
  static const char digits[] = "0123456789abcdef";
  std::string id = "mqbridge-send-";
  for (int i = 0; i < 8; ++i) {
    const unsigned value = random();
    for (int shift = 0; shift < 16; shift += 4) id += digits[(value >> shift) & 0xF];
  }
  return id;
}

std::string exchange(const ServiceConfig& config, RequestKind kind, const std::string& json,
                     const std::string& correlationId, std::chrono::milliseconds timeout) {
  const KindQueues queues = queuesOf(config, kind);
  if (queues.request.empty() || queues.callback.empty())
    throw SendError("the configuration names no request or callback queue for this kind");

  stomp::ConnectionOptions options;
  if (!config.activeMqName.empty() && !config.activeMqPassword.empty()) {
    options.login = config.activeMqName;
    options.passcode = config.activeMqPassword;
  }
  stomp::Connection connection(config.brokerURI, options);

  std::mutex mutex;
  std::condition_variable arrived;
  std::optional<stomp::Message> reply;
  std::optional<std::string> failure;
  connection.setExceptionListener([&](const stomp::Error& e) {
    std::lock_guard<std::mutex> lock(mutex);
    failure = e.what();
    arrived.notify_all();
  });
  connection.start();
  // Subscribed before the request goes out; the selector leaves every other
  // reply on the queue for its own reader.
  connection.subscribe(stomp::Destination::queue(queues.callback),
                       [&](const stomp::Message& message) {
                         std::lock_guard<std::mutex> lock(mutex);
                         if (!reply) reply = message;
                         arrived.notify_all();
                       },
                       stomp::AckMode::ClientIndividual, {{"selector", "JMSCorrelationID = '" + correlationId + "'"}});
  connection.send(stomp::Destination::queue(queues.request), stomp::OutgoingMessage(json, correlationId));

  std::unique_lock<std::mutex> lock(mutex);
  arrived.wait_for(lock, timeout, [&] { return reply.has_value() || failure.has_value(); });
  if (reply) {
    const stomp::Message message = *reply;
    lock.unlock();
    connection.ack(message);  // goes out before the DISCONNECT of close()
    connection.close();
    return message.body();
  }
  if (failure) throw SendError("broker connection lost: " + *failure);
  lock.unlock();
  connection.close();
  throw SendError("no reply with correlation id " + correlationId + " on " + queues.callback + " within " +
                  std::to_string(timeout.count()) + " ms");
}

bool replyCode(const std::string& reply, long long& code) {
  Json::Value document;
  try {
    if (!parseJson(reply, document) || !document.isObject()) return false;
  } catch (const Json::Exception&) {
    return false;
  }
  const Json::Value& value = document["code"];
  if (!value.isInt64()) return false;
  code = value.asInt64();
  return true;
}

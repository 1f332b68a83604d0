#include "bench/QueueNames.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/Json.h"

namespace bench {
namespace {

const char* const kRequestKeys[kQueueCount] = {"userRecordCreate", "userRecordUpdate", "userRecordPasswordUpdate",
                                               "tradeTransInfo"};
const char* const kCallbackKeys[kQueueCount] = {"userRecordCreateCallback", "userRecordUpdateCallback",
                                                "userRecordPasswordUpdateCallback", "tradeTransInfoCallback"};

std::string text(const Json::Value& root, const char* key, const std::string& path) {
  const Json::Value& v = root[key];
  if (v.isNull()) return std::string();
  if (!v.isString()) throw std::runtime_error(path + ": \"" + key + "\" must be a string");
  return v.asString();
}

std::string required(const Json::Value& root, const char* key, const std::string& path) {
  std::string value = text(root, key, path);
  if (value.empty()) throw std::runtime_error(path + ": \"" + key + "\" is missing or empty");
  return value;
}

}  // namespace

BrokerSettings readBrokerSettings(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read config file '" + path + "'");
  std::ostringstream content;
  content << in.rdbuf();
  Json::Value root;
  std::string error;
  bool parsed = false;
  try {
    parsed = parseJson(content.str(), root, &error);
  } catch (const std::exception& e) {
    error = e.what();
  }
  if (!parsed) throw std::runtime_error(path + ": not valid JSON: " + error);
  if (!root.isObject()) throw std::runtime_error(path + ": the top level must be a JSON object");

  BrokerSettings s;
  s.brokerUri = text(root, "brokerURI", path);
  s.login = text(root, "activeMqName", path);
  s.passcode = text(root, "activeMqPassword", path);
  for (int i = 0; i < kQueueCount; ++i) {
    s.requestQueues[i] = required(root, kRequestKeys[i], path);
    s.callbackQueues[i] = required(root, kCallbackKeys[i], path);
  }
  return s;
}

int callbackIndex(const BrokerSettings& settings, const std::string& queueName) {
  for (int i = 0; i < kQueueCount; ++i) {
    if (settings.callbackQueues[i] == queueName) return i;
  }
  return -1;
}

}  // namespace bench

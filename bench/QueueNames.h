#pragma once
// The eight queue names and the broker settings the bench takes from a
// config.ini written for the service.
#include <array>
#include <string>

namespace bench {

// Index of a request queue and of its callback queue, in service order.
enum QueueIndex { kCreateQueue = 0, kUpdateQueue = 1, kPasswordQueue = 2, kTradeQueue = 3 };
constexpr int kQueueCount = 4;

struct BrokerSettings {
  std::string brokerUri;
  std::string login;  // used only when both are set
  std::string passcode;
  std::array<std::string, kQueueCount> requestQueues;
  std::array<std::string, kQueueCount> callbackQueues;
};

// Reads the JSON object in `path`. Throws std::runtime_error naming the file
// and the problem (missing file, not JSON, a queue key missing or empty).
BrokerSettings readBrokerSettings(const std::string& path);

// Which request queue a callback queue answers; -1 if none.
int callbackIndex(const BrokerSettings& settings, const std::string& queueName);

}  // namespace bench

#include "stomp/Destination.h"

namespace stomp {

Destination Destination::fromStompName(const std::string& stompName) {
  static const std::string queuePrefix = "/queue/";
  static const std::string topicPrefix = "/topic/";
  if (stompName.compare(0, topicPrefix.size(), topicPrefix) == 0) return topic(stompName.substr(topicPrefix.size()));
  if (stompName.compare(0, queuePrefix.size(), queuePrefix) == 0) return queue(stompName.substr(queuePrefix.size()));
  return queue(stompName);
}

}  // namespace stomp

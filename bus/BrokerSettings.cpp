#include "bus/BrokerSettings.h"

stomp::ConnectionOptions brokerOptions(const ServiceConfig& config) {
  stomp::ConnectionOptions options;
  if (!config.activeMqName.empty() && !config.activeMqPassword.empty()) {
    options.login = config.activeMqName;
    options.passcode = config.activeMqPassword;
  }
  return options;
}

stomp::Destination brokerDestination(const std::string& name, bool useTopic) {
  return useTopic ? stomp::Destination::topic(name) : stomp::Destination::queue(name);
}

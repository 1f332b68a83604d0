#include "bus/BrokerSettings.h"

#include <memory>

namespace {

// One I/O thread for every broker connection of the process instead of one
// each. Connections hold it too, so it outlives this static at exit and is
// joined by whichever of them goes last.
std::shared_ptr<stomp::IoThread> sharedIoThread() {
  static const std::shared_ptr<stomp::IoThread> thread = std::make_shared<stomp::IoThread>();
  return thread;
}

}  // namespace

stomp::ConnectionOptions brokerOptions(const ServiceConfig& config) {
  stomp::ConnectionOptions options;
  if (!config.activeMqName.empty() && !config.activeMqPassword.empty()) {
    options.login = config.activeMqName;
    options.passcode = config.activeMqPassword;
  }
  options.ioThread = sharedIoThread();
  return options;
}

stomp::Destination brokerDestination(const std::string& name, bool useTopic) {
  return useTopic ? stomp::Destination::topic(name) : stomp::Destination::queue(name);
}

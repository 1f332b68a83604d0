// mqbridge: serves the four request queues until the operator stops it.
#include <unistd.h>

#include <cstdio>
#include <exception>

#include "host/ConsoleLoop.h"
#include "host/ServiceConfig.h"
#include "host/ServiceLifecycle.h"
#include "host/ServiceObjects.h"
#include "host/StopSignals.h"
#include "support/Console.h"

namespace {

constexpr int kStopped = 0;
constexpr int kStartFailed = 255;

// Constructed before main and never touched by broker threads after the
// consumers are closed; a lost broker connection ends the process without
// running exit-time destructors.
ServiceObjects service(serviceConfig(), [](const stomp::Error&) { restoreTerminalSettings(); });

int failedStart(ConsoleInput& input) {
  pauseForKey(input);
  return kStartFailed;
}

int run() {
  StopSignals signals;
  ConsoleInput input(STDIN_FILENO, signals.fd());

  if (readConfig() < 0) {
    consolePrint("%s\n", configError().c_str());
    return failedStart(input);
  }
  if (initService(service) < 1) return failedStart(input);

  const StopReason reason = runExitPrompt(input);
  if (reason != StopReason::Signal) waitForStopKey(input);
  stopService(service);
  return kStopped;
}

}  // namespace

int main() {
  try {
    return run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mqbridge: %s\n", e.what());
    return kStartFailed;
  }
}

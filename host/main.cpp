// mqbridge: serves the four request queues until the operator stops it, at
// the console or, without one ("console": false), by a stop signal.
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "host/ConsoleLoop.h"
#include "host/MetricsServer.h"
#include "host/ServiceConfig.h"
#include "host/ServiceLifecycle.h"
#include "host/ServiceNotify.h"
#include "host/ServiceObjects.h"
#include "host/StopSignals.h"
#include "support/Console.h"
#include "support/Metrics.h"

namespace {

constexpr int kStopped = 0;
constexpr int kStartFailed = kStartFailedStatus;

// Constructed before main and never touched by broker threads after the
// consumers are closed; a lost broker connection ends the process without
// running exit-time destructors.
ServiceObjects service(serviceConfig(), [](const stomp::Error&) { restoreTerminalSettings(); });

// At the console the reason stays readable until a key is pressed; without
// one nobody could press it.
int failedStart(ConsoleInput& input, bool console) {
  if (console) pauseForKey(input);
  return kStartFailed;
}

// The HTTP server of /metrics and /health, when the configuration asks for
// one; started before the service so that /health answers during start.
bool startMetricsServer(const ServiceConfig& config, std::unique_ptr<MetricsServer>& server) {
  if (config.metricsAddress.empty()) return true;
  server = std::make_unique<MetricsServer>(serviceMetrics(), [] { return serviceHealth(service); });
  std::string error;
  if (server->start(*parseLoopbackAddress(config.metricsAddress), error)) return true;
  consolePrint("metricsAddress: %s\n", error.c_str());
  return false;
}

int run() {
  service.beforeFatalExit = restoreTerminalSettings;
  StopSignals signals;
  ConsoleInput input(STDIN_FILENO, signals.fd());
  serviceNotify::status("starting");

  if (readConfig() < 0) {
    consolePrint("%s\n", configError().c_str());
    return failedStart(input, serviceConfig().console);
  }
  const ServiceConfig& config = serviceConfig();
  std::unique_ptr<MetricsServer> metricsServer;
  if (!startMetricsServer(config, metricsServer)) return failedStart(input, config.console);
  if (initService(service) < 1) return failedStart(input, config.console);
  serviceNotify::ready("running");

  std::optional<ServiceHeartbeat> heartbeat;
  heartbeat.emplace([] { return serviceStatus(serviceHealth(service)); });
  if (service.standingBy) {
    // Only a stop signal ends the wait (the console is read once serving).
    const int taken = standBy(service, [&signals](std::chrono::milliseconds delay) {
      pollfd stop{signals.fd(), POLLIN, 0};
      return ::poll(&stop, 1, static_cast<int>(delay.count())) == 0;
    });
    if (taken < 0) return failedStart(input, config.console);
    if (taken == 0) {
      heartbeat.reset();
      serviceNotify::stopping("stopping");
      stopService(service);
      return kStopped;
    }
  }
  if (config.console) {
    const StopReason reason = runExitPrompt(input);
    if (reason != StopReason::Signal) waitForStopKey(input);
  } else {
    signals.wait();  // standard input is not read at all
  }
  heartbeat.reset();
  serviceNotify::stopping("stopping");
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

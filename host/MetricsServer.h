#pragma once
// /metrics (Prometheus text) and /health over HTTP on a loopback address,
// served by cpp-httplib on threads of its own.
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/ServiceConfig.h"
#include "support/Metrics.h"

namespace httplib {
class Server;
}

// The parts of the service that are down, by name ("trading server
// session", "broker connection <queue>"); none: healthy.
struct HealthReport {
  std::vector<std::string> down;
  // Waiting while another instance serves the queues: healthy, not serving.
  bool standby = false;
  bool healthy() const { return down.empty(); }
};
using HealthProvider = std::function<HealthReport()>;

// /health's answer: 200 {"status":"up"} or 503 {"status":"down","down":[...]}.
struct HealthResponse {
  int status;
  std::string body;
};
HealthResponse healthResponse(const HealthReport& report);

class MetricsServer {
 public:
  MetricsServer(const Metrics& metrics, HealthProvider health);
  ~MetricsServer();  // stops serving and joins its threads
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  // Binds and starts serving; false with the reason in `error` (the
  // address in use, for one). Port 0 takes any free port.
  bool start(const LoopbackAddress& address, std::string& error);
  void stop();
  // The port bound by start.
  int port() const { return port_; }

 private:
  const Metrics& metrics_;
  HealthProvider health_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  std::atomic<bool> listenEnded_{false};
  int port_ = 0;
};

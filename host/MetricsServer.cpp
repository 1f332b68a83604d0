#include "host/MetricsServer.h"
#include "support/ThreadName.h"

#include <httplib.h>
#include <sys/socket.h>
#include <json/json.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

constexpr const char* kPrometheusType = "text/plain; version=0.0.4; charset=utf-8";
// Scrapes are rare and small: two workers are plenty and keep the thread
// count of the service low.
constexpr std::size_t kWorkers = 2;

std::string compactJson(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, value);
}

}  // namespace

HealthResponse healthResponse(const HealthReport& report) {
  Json::Value body(Json::objectValue);
  if (report.healthy()) {
    body["status"] = report.standby ? "standby" : "up";
    return {200, compactJson(body)};
  }
  body["status"] = "down";
  Json::Value& down = body["down"] = Json::Value(Json::arrayValue);
  for (const std::string& part : report.down) down.append(part);
  return {503, compactJson(body)};
}

MetricsServer::MetricsServer(const Metrics& metrics, HealthProvider health)
    : metrics_(metrics), health_(std::move(health)), server_(std::make_unique<httplib::Server>()) {
  server_->new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
  // The library's default adds SO_REUSEPORT, which would let a second
  // service bind the same address and answer half the scrapes.
  server_->set_socket_options([](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  server_->Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
    response.set_content(metrics_.renderPrometheus(), kPrometheusType);
  });
  server_->Get("/health", [this](const httplib::Request&, httplib::Response& response) {
    const HealthResponse answer = healthResponse(health_ ? health_() : HealthReport{});
    response.status = answer.status;
    response.set_content(answer.body + "\n", "application/json");
  });
}

MetricsServer::~MetricsServer() { stop(); }

bool MetricsServer::start(const LoopbackAddress& address, std::string& error) {
  errno = 0;
  port_ = address.port;
  const bool bound =
      port_ != 0 ? server_->bind_to_port(address.host, port_) : (port_ = server_->bind_to_any_port(address.host)) > 0;
  if (!bound) {
    error = "cannot listen on " + address.host + ":" + std::to_string(address.port);
    if (errno != 0) error += std::string(" (") + std::strerror(errno) + ")";
    return false;
  }
  listenEnded_ = false;
  thread_ = std::thread([this] {
    nameThisThread("metrics");
    server_->listen_after_bind();
    listenEnded_ = true;
  });
  // A stop before the listener runs would be lost (the library only stops a
  // running listener): start returns once it runs.
  while (!server_->is_running() && !listenEnded_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return true;
}

void MetricsServer::stop() {
  if (!thread_.joinable()) return;
  server_->stop();
  thread_.join();
}

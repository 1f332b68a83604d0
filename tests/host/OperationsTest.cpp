// What a monitoring system and a service manager see: /metrics and /health
// over HTTP, and the notifications on $NOTIFY_SOCKET.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "host/MetricsServer.h"
#include "host/ServiceNotify.h"
#include "support/Metrics.h"

namespace {

struct Served {
  Metrics metrics;
  HealthReport health;
  MetricsServer server{metrics, [this] { return health; }};
  int port = 0;

  Served() {
    std::string error;
    EXPECT_TRUE(server.start(LoopbackAddress{"127.0.0.1", 0}, error)) << error;
    port = server.port();
  }
  httplib::Result get(const char* path) {
    httplib::Client client("127.0.0.1", port);
    return client.Get(path);
  }
};

// A datagram socket standing in for the service manager's.
class NotifySocket {
 public:
  NotifySocket() {
    path_ = (std::filesystem::temp_directory_path() / ("mqb-notify-" + std::to_string(::getpid()))).string();
    ::unlink(path_.c_str());
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path_.copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    timeval bound{10, 0};  // a message that never comes fails the test, not hangs it
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    ::setenv("NOTIFY_SOCKET", path_.c_str(), 1);
  }
  ~NotifySocket() {
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");
    ::close(fd_);
    ::unlink(path_.c_str());
  }
  std::string next() {
    char buffer[4096];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string("<nothing>");
  }

 private:
  std::string path_;
  int fd_ = -1;
};

}  // namespace

TEST(MetricsServer, ServesThePrometheusText) {
  Served s;
  s.metrics.requestReceived("q.trade");
  const auto response = s.get("/metrics");
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 200);
  EXPECT_EQ(response->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  EXPECT_EQ(response->body, s.metrics.renderPrometheus());
  EXPECT_NE(response->body.find("mqbridge_requests_received_total{queue=\"q.trade\"} 1\n"), std::string::npos);
  const auto unknown = s.get("/other");
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->status, 404);
}

TEST(MetricsServer, HealthNamesWhatIsDown) {
  Served s;
  auto response = s.get("/health");
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 200);
  EXPECT_EQ(response->body, "{\"status\":\"up\"}\n");

  s.health.down = {"trading server session", "broker connection q.trade"};
  response = s.get("/health");
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 503);
  EXPECT_EQ(response->body,
            "{\"down\":[\"trading server session\",\"broker connection q.trade\"],\"status\":\"down\"}\n");
}

TEST(MetricsServer, AnAddressInUseIsReported) {
  Served first;
  Metrics metrics;
  MetricsServer second(metrics, {});
  std::string error;
  EXPECT_FALSE(second.start(LoopbackAddress{"127.0.0.1", first.port}, error));
  EXPECT_EQ(error.rfind("cannot listen on 127.0.0.1:" + std::to_string(first.port), 0), 0u) << error;
  second.stop();  // nothing to stop: returns
}

TEST(ServiceNotify, WithoutAServiceManagerNothingHappens) {
  ::unsetenv("NOTIFY_SOCKET");
  serviceNotify::ready("running");
  serviceNotify::stopping("stopping");
  ServiceHeartbeat heartbeat([] { return std::string("running"); });
}

TEST(ServiceNotify, ReadinessStatusAndStopReachTheSocket) {
  NotifySocket socket;
  serviceNotify::status("starting");
  EXPECT_EQ(socket.next(), "STATUS=starting");
  serviceNotify::ready("running");
  EXPECT_EQ(socket.next(), "READY=1\nSTATUS=running");
  serviceNotify::stopping("stopping\nnow");
  EXPECT_EQ(socket.next(), "STOPPING=1\nSTATUS=stopping now");
}

TEST(ServiceNotify, HeartbeatSendsWatchdogAndStatusChanges) {
  NotifySocket socket;
  ::setenv("WATCHDOG_USEC", "200000", 1);
  std::string status = "running";
  std::mutex statusMutex;
  ServiceHeartbeat heartbeat([&] {
    std::lock_guard lock(statusMutex);
    return status;
  });
  EXPECT_EQ(socket.next(), "WATCHDOG=1");
  EXPECT_EQ(socket.next(), "STATUS=running");
  EXPECT_EQ(socket.next(), "WATCHDOG=1");  // no STATUS again while it does not change
  {
    std::lock_guard lock(statusMutex);
    status = "reconnecting: broker connection q down";
  }
  std::string seen;
  while ((seen = socket.next()) == "WATCHDOG=1") {
  }
  EXPECT_EQ(seen, "STATUS=reconnecting: broker connection q down");
}

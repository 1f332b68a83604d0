#include "host/ServiceNotify.h"
#include "support/ThreadName.h"

#include <systemd/sd-daemon.h>

#include <cstdint>
#include <cstdlib>

namespace {

void notify(const std::string& state) {
  // 0 without $NOTIFY_SOCKET, negative on a send error: neither is a reason
  // to stop serving.
  (void)sd_notify(0, state.c_str());
}

// Status lines are single lines.
std::string oneLine(std::string text) {
  for (char& c : text)
    if (c == '\n') c = ' ';
  return text;
}

constexpr std::chrono::seconds kStatusPeriod{1};

}  // namespace

namespace serviceNotify {

void status(const std::string& text) { notify("STATUS=" + oneLine(text)); }
void ready(const std::string& statusText) { notify("READY=1\nSTATUS=" + oneLine(statusText)); }
void stopping(const std::string& statusText) { notify("STOPPING=1\nSTATUS=" + oneLine(statusText)); }

}  // namespace serviceNotify

ServiceHeartbeat::ServiceHeartbeat(std::function<std::string()> currentStatus)
    : currentStatus_(std::move(currentStatus)) {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  if (socket == nullptr || *socket == '\0') return;  // nobody listens
  uint64_t watchdogUsec = 0;
  const bool watchdog = sd_watchdog_enabled(0, &watchdogUsec) > 0 && watchdogUsec > 0;
  std::chrono::microseconds period = kStatusPeriod;
  if (watchdog && std::chrono::microseconds(watchdogUsec / 2) < period)
    period = std::chrono::microseconds(watchdogUsec / 2);
  thread_ = std::thread([this, period, watchdog] {
    nameThisThread("notify");
    run(period, watchdog);
  });
}

ServiceHeartbeat::~ServiceHeartbeat() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void ServiceHeartbeat::run(std::chrono::microseconds period, bool watchdog) {
  std::string shown;
  std::unique_lock lock(mutex_);
  while (!stop_) {
    lock.unlock();
    if (watchdog) notify("WATCHDOG=1");
    if (currentStatus_) {
      const std::string now = currentStatus_();
      if (now != shown) serviceNotify::status(now);
      shown = now;
    }
    lock.lock();
    wake_.wait_for(lock, period, [this] { return stop_; });
  }
}

#pragma once
// Tells a service manager (systemd, through $NOTIFY_SOCKET) how the service
// is doing: READY=1 once it serves, STOPPING=1 when the stop begins, STATUS=
// lines, WATCHDOG=1 keep-alives when the unit asks for them. Without a
// service manager every call does nothing.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace serviceNotify {

void status(const std::string& text);
// READY=1 together with a STATUS= line.
void ready(const std::string& statusText);
// STOPPING=1 together with a STATUS= line.
void stopping(const std::string& statusText);

}  // namespace serviceNotify

// While it lives and a service manager listens: sends WATCHDOG=1 at half
// the unit's watchdog interval (when it has one), and a STATUS= line
// whenever the text `currentStatus` returns changes (checked every tick).
class ServiceHeartbeat {
 public:
  explicit ServiceHeartbeat(std::function<std::string()> currentStatus);
  ~ServiceHeartbeat();  // stops and joins the thread
  ServiceHeartbeat(const ServiceHeartbeat&) = delete;
  ServiceHeartbeat& operator=(const ServiceHeartbeat&) = delete;

 private:
  void run(std::chrono::microseconds period, bool watchdog);

  std::function<std::string()> currentStatus_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

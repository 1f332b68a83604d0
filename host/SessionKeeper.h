#pragma once
// Watches the trading-server session: when it is lost it says so and
// reopens it with back-off, on its own thread, while the requests wait. Once
// it is open again they go on (the ones it cut off are checked against the
// server first). A reopen the server refuses for its credentials ends the
// service through onFatal.
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "manager/CManager.h"
#include "manager/SessionPolicy.h"

class SessionKeeper {
 public:
  // onFatal(line): the line to report; it does not return.
  using FatalHandler = std::function<void(const std::string& line)>;

  SessionKeeper(CManager& manager, SessionPolicy::Settings settings, FatalHandler onFatal);
  // Stops and joins the thread.
  ~SessionKeeper();
  SessionKeeper(const SessionKeeper&) = delete;
  SessionKeeper& operator=(const SessionKeeper&) = delete;

  // Once the session is open.
  void start();
  // A reopen under way is finished, never cut; nothing is tried afterwards.
  void stop();

 private:
  void run();
  // Reopens until open (true) or stopped (false); the refused credentials
  // end the process.
  bool reopen(SessionPolicy& policy, std::chrono::milliseconds delay);

  CManager& manager_;
  SessionPolicy::Settings settings_;
  FatalHandler onFatal_;
  std::thread thread_;
};

#include "host/SessionKeeper.h"
#include "support/ThreadName.h"

#include <cstdio>

#include "support/Console.h"
#include "support/DailyLog.h"
#include "support/Metrics.h"

namespace {

std::string seconds(std::chrono::milliseconds delay) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(delay.count()) / 1000.0);
  return text;
}

}  // namespace

SessionKeeper::SessionKeeper(CManager& manager, SessionPolicy::Settings settings, FatalHandler onFatal)
    : manager_(manager), settings_(settings), onFatal_(std::move(onFatal)) {}

SessionKeeper::~SessionKeeper() { stop(); }

void SessionKeeper::start() {
  if (thread_.joinable()) return;
  manager_.Session().reset();
  serviceMetrics().tradingServerUp(manager_.Session().up());
  thread_ = std::thread([this] {
    nameThisThread("session-keeper");
    run();
  });
}

void SessionKeeper::stop() {
  manager_.Session().stop();
  if (thread_.joinable()) thread_.join();
}

void SessionKeeper::run() {
  SessionState& session = manager_.Session();
  for (;;) {
    const std::optional<std::string> why = session.waitForLoss();
    if (!why) return;
    SessionPolicy policy(settings_);
    const SessionPolicy::Next next = policy.lost();
    serviceMetrics().tradingServerUp(false);
    tellLine("Trading server session lost: " + *why + "; requests wait on the broker until it is reopened");
    if (!reopen(policy, next.delay)) return;
  }
}

bool SessionKeeper::reopen(SessionPolicy& policy, std::chrono::milliseconds delay) {
  SessionState& session = manager_.Session();
  for (;;) {
    if (!session.pause(delay)) return false;
    const uint64_t losses = session.losses();
    MTAPIRES result = manager_.Reopen();
    // Lost again while it opened (its notice found it down already): not
    // open after all, and tried again.
    if (result == mtret::Ok && !session.openedIf(losses)) result = mtret::Network;
    const SessionPolicy::Next next = policy.reopenAnswered(result);
    switch (next.what) {
      case SessionPolicy::Do::Resume:
        serviceMetrics().tradingServerUp(true);
        serviceMetrics().tradingServerReopened();
        tellLine("Trading server session reopened after " + std::to_string(policy.attempts()) +
                 (policy.attempts() == 1 ? " try" : " tries") + "; requests are taken again");
        return true;
      case SessionPolicy::Do::Fail:
        onFatal_("Trading server session cannot be reopened: the server refused the manager login (" +
                 std::to_string(result) + "); check login and password in config.ini");
        return false;
      case SessionPolicy::Do::Reopen:
        writeLog("Trading server session: reopening failed (%u); next try in %s\n", result,
                 seconds(next.delay).c_str());
        delay = next.delay;
        break;
      default:
        return false;
    }
  }
}

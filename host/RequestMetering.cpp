#include "host/RequestMetering.h"

#include <chrono>
#include <exception>
#include <utility>

#include "support/Json.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Forwards to the callback queue's channel and notes what happened to the
// one reply: its send time and whether the broker took it.
class MeteredChannel final : public ReplyChannel {
 public:
  explicit MeteredChannel(ReplyChannel& inner) : inner_(inner) {}

  void sendReply(std::string text, const std::string& correlationId) override {
    attempted_ = true;
    success_ = isSuccessReply(text);
    const Clock::time_point start = Clock::now();
    try {
      inner_.sendReply(std::move(text), correlationId);
    } catch (...) {
      sendSeconds_ += secondsSince(start);
      throw;
    }
    sendSeconds_ += secondsSince(start);
    confirmed_ = true;
  }

  bool attempted() const { return attempted_; }
  bool confirmed() const { return confirmed_; }
  bool success() const { return success_; }
  double sendSeconds() const { return sendSeconds_; }

 private:
  ReplyChannel& inner_;
  bool attempted_ = false;
  bool confirmed_ = false;
  bool success_ = false;
  double sendSeconds_ = 0;
};

}  // namespace

bool isSuccessReply(const std::string& text) {
  Json::Value reply;
  try {
    if (!parseJson(text, reply) || !reply.isObject()) return false;
    const Json::Value& code = reply["code"];
    return code.isIntegral() && code.asLargestInt() == 200;
  } catch (const Json::Exception&) {
    return false;
  }
}

void routeMetered(const Routes& routes, const std::string& queue, std::string text, const std::string& correlationId,
                  Metrics& metrics) {
  metrics.requestReceived(queue);
  MeteredChannel create(routes.createReplies), update(routes.updateReplies), password(routes.passwordReplies),
      trade(routes.tradeReplies);
  const Routes metered{routes.config, routes.manager, create, update, password, trade};
  const MeteredChannel* const channels[] = {&create, &update, &password, &trade};

  const Clock::time_point start = Clock::now();
  std::exception_ptr failure;
  try {
    RouteRequest(metered, queue, std::move(text), correlationId);
  } catch (...) {
    failure = std::current_exception();
  }
  const double total = secondsSince(start);

  const MeteredChannel* used = nullptr;
  for (const MeteredChannel* channel : channels)
    if (channel->attempted()) used = channel;
  if (used == nullptr) {
    // Not a JSON object, nested too deep, a member of the wrong type: the
    // request was not carried out and gets no reply.
    metrics.requestDropped(queue);
  } else {
    metrics.observeTradingServer(queue, total - used->sendSeconds());
    metrics.observeConfirmation(queue, used->sendSeconds());
    if (used->confirmed()) metrics.replySent(queue, used->success());
  }
  if (failure) std::rethrow_exception(failure);
}

#include "stomp/FailoverPlan.h"

#include <algorithm>

namespace stomp {

FailoverPlan::FailoverPlan(BrokerUri uri, milliseconds connectTimeout, milliseconds stableSession, Random random)
    : uri_(std::move(uri)), connectTimeout_(connectTimeout), stableSession_(stableSession), random_(std::move(random)) {
  order_ = uri_.endpoints;
}

void FailoverPlan::reorder() {
  order_ = uri_.endpoints;
  next_ = 0;
  if (!uri_.failover || !uri_.options.randomize || !random_) return;
  for (std::size_t i = order_.size(); i > 1; --i)  // Fisher-Yates
    std::swap(order_[i - 1], order_[random_() % i]);
}

long long FailoverPlan::allowedAttempts() const {
  const FailoverOptions& o = uri_.options;
  if (!uri_.failover) return 1;
  if (startup_) {
    int extra = o.startupMaxReconnectAttempts >= 0 ? o.startupMaxReconnectAttempts : o.maxReconnectAttempts;
    return extra < 0 ? -1 : 1LL + extra;
  }
  return o.maxReconnectAttempts;
}

FailoverStep FailoverPlan::start(SteadyTime now) {
  startup_ = true;
  attempts_ = waits_ = 0;
  startDeadline_ = now + connectTimeout_;
  reorder();
  return nextTry(now);
}

FailoverStep FailoverPlan::nextTry(SteadyTime now) {
  FailoverStep step;
  step.kind = FailoverStep::Kind::Try;
  step.endpoint = order_[next_++ % order_.size()];
  step.attempts = ++attempts_;
  step.timeout = connectTimeout_;
  if (startup_ && uri_.failover) {
    auto left = std::chrono::duration_cast<milliseconds>(startDeadline_ - now);
    step.timeout = std::max(milliseconds(1), std::min(step.timeout, left));
  }
  return step;
}

// Between half the back-off and all of it: connections that lost the same
// broker at the same moment spread out, and each delay is still at least the
// one before it as long as the back-off doubles.
milliseconds FailoverPlan::jittered(milliseconds base) {
  if (!random_ || base.count() < 2) return base;
  const double unit = static_cast<double>(random_() >> 11) / static_cast<double>(1ULL << 53);
  const auto cut = static_cast<long long>(static_cast<double>(base.count() / 2) * unit);
  return base - milliseconds(cut);
}

FailoverStep FailoverPlan::waitOrGiveUp(SteadyTime now) {
  FailoverStep step;
  step.attempts = attempts_;
  const long long allowed = allowedAttempts();
  if (allowed >= 0 && attempts_ >= allowed) return step;  // GiveUp
  step.delay = jittered(reconnectDelay(uri_.options, ++waits_));
  if (startup_ && now + step.delay >= startDeadline_) return step;
  step.kind = FailoverStep::Kind::Wait;
  return step;
}

FailoverStep FailoverPlan::attemptFailed(SteadyTime now, bool refused) {
  if (refused && startup_) {
    FailoverStep step;
    step.attempts = attempts_;
    return step;
  }
  return waitOrGiveUp(now);
}

FailoverStep FailoverPlan::waited(SteadyTime now) { return nextTry(now); }

void FailoverPlan::sessionUp(SteadyTime now) {
  if (startup_) attempts_ = waits_ = 0;  // start-up had a budget of its own
  startup_ = false;
  sessionSince_ = now;
}

FailoverStep FailoverPlan::sessionLost(SteadyTime now) {
  if (!uri_.failover) return FailoverStep{};
  // Only a session that lasted earns a fresh budget and a fresh order.
  if (now - sessionSince_ >= stableSession_) {
    attempts_ = waits_ = 0;
    reorder();
  }
  return waitOrGiveUp(now);
}

}  // namespace stomp

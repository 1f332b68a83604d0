#pragma once
// Which broker to try next, with what time-out, how long to wait in between
// and when to give up. Told what happened, it answers the next step; it owns
// no socket, timer or clock. Protocol core: no I/O.
//
// The attempt budget (maxReconnectAttempts) is spent by every attempt and
// given back only when a session stayed up for `stableSession`: a broker that
// accepts sessions and drops them at once would otherwise be retried forever.
#include "stomp/BrokerUri.h"
#include "stomp/Time.h"

#include <cstdint>
#include <functional>

namespace stomp {

struct FailoverStep {
  enum class Kind { Try, Wait, GiveUp };
  Kind kind = Kind::GiveUp;
  Endpoint endpoint;        // Try: where
  milliseconds timeout{0};  // Try: bound on this attempt
  milliseconds delay{0};    // Wait: how long before the next Try
  int attempts = 0;         // attempts made in this round so far
};

class FailoverPlan {
 public:
  // Uniformly distributed 64-bit values: endpoint order and jitter.
  using Random = std::function<std::uint64_t()>;

  FailoverPlan(BrokerUri uri, milliseconds connectTimeout, milliseconds stableSession, Random random);

  // The first attempt of start(); start() as a whole ends by connectTimeout.
  FailoverStep start(SteadyTime now);
  // An attempt failed; `refused`: the broker answered with an ERROR (such
  // as bad credentials), which retrying at start-up cannot mend.
  FailoverStep attemptFailed(SteadyTime now, bool refused);
  // The wait of a Wait step is over.
  FailoverStep waited(SteadyTime now);
  // The attempt ended in a session.
  void sessionUp(SteadyTime now);
  // The session was lost: Wait (failover) or GiveUp.
  FailoverStep sessionLost(SteadyTime now);

  bool startingUp() const { return startup_; }
  int attempts() const { return attempts_; }

 private:
  FailoverStep nextTry(SteadyTime now);
  FailoverStep waitOrGiveUp(SteadyTime now);
  milliseconds jittered(milliseconds base);
  void reorder();
  long long allowedAttempts() const;  // -1: without end

  BrokerUri uri_;
  milliseconds connectTimeout_;
  milliseconds stableSession_;
  Random random_;
  std::vector<Endpoint> order_;
  std::size_t next_ = 0;
  int attempts_ = 0;  // attempts in this round: the budget spent
  int waits_ = 0;     // waits in this round: the back-off step
  bool startup_ = false;
  SteadyTime startDeadline_{};
  SteadyTime sessionSince_{};
};

}  // namespace stomp

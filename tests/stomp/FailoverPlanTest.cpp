// The failover plan step by step on a fake clock: endpoint order, back-off
// growth and jitter, the start-up deadline, the budget and when it resets.
#include "stomp/FailoverPlan.h"

#include <gtest/gtest.h>

#include <deque>

using namespace std::chrono_literals;
using stomp::FailoverPlan;
using stomp::FailoverStep;
using Kind = stomp::FailoverStep::Kind;

namespace {

// Hands out the given values in turn, then the last one forever.
struct Scripted {
  std::deque<std::uint64_t> values;
  std::uint64_t operator()() {
    std::uint64_t v = values.front();
    if (values.size() > 1) values.pop_front();
    return v;
  }
};

constexpr std::uint64_t kLowest = 0;       // jitter cuts nothing
constexpr std::uint64_t kHighest = ~0ULL;  // jitter cuts almost half

stomp::BrokerUri uri(const std::string& text) { return stomp::parseBrokerUri(text); }

FailoverPlan plan(const std::string& text, std::deque<std::uint64_t> random = {kLowest},
                  std::chrono::milliseconds connectTimeout = 10s) {
  return FailoverPlan(uri(text), connectTimeout, 1s, Scripted{std::move(random)});
}

const stomp::SteadyTime t0{};

}  // namespace

TEST(FailoverPlan, WithoutFailoverOneAttemptAndNoReconnection) {
  auto p = plan("tcp://a:1");
  FailoverStep first = p.start(t0);
  ASSERT_EQ(first.kind, Kind::Try);
  EXPECT_EQ(first.endpoint.host, "a");
  EXPECT_EQ(first.timeout, 10s);
  EXPECT_EQ(p.attemptFailed(t0 + 1s, false).kind, Kind::GiveUp);
  p.start(t0);
  p.sessionUp(t0);
  EXPECT_EQ(p.sessionLost(t0 + 1h).kind, Kind::GiveUp);
}

TEST(FailoverPlan, EndpointOrderComesFromTheInjectedGenerator) {
  // Fisher-Yates from the back: swap(c, [0]) then swap(b, [0]) gives b c a... step by step:
  // [a b c] -> i=3, r%3=0: [c b a] -> i=2, r%2=0: [b c a].
  auto p = plan("failover:(tcp://a:1,tcp://b:1,tcp://c:1)?initialReconnectDelay=10", {0});
  EXPECT_EQ(p.start(t0).endpoint.host, "b");
  EXPECT_EQ(p.attemptFailed(t0, false).kind, Kind::Wait);
  EXPECT_EQ(p.waited(t0).endpoint.host, "c");
  p.attemptFailed(t0, false);
  EXPECT_EQ(p.waited(t0).endpoint.host, "a");
  p.attemptFailed(t0, false);
  EXPECT_EQ(p.waited(t0).endpoint.host, "b") << "the order repeats";

  auto kept = plan("failover:(tcp://a:1,tcp://b:1,tcp://c:1)?randomize=false", {0});
  EXPECT_EQ(kept.start(t0).endpoint.host, "a");
  kept.attemptFailed(t0, false);
  EXPECT_EQ(kept.waited(t0).endpoint.host, "b");
}

TEST(FailoverPlan, BackOffGrowsAndJitterStaysWithinHalfOfIt) {
  const std::string text = "failover:(tcp://a:1)?initialReconnectDelay=100&maxReconnectDelay=1000";
  auto exact = plan(text, {kLowest});
  auto cut = plan(text, {kHighest});
  exact.start(t0);
  cut.start(t0);
  std::chrono::milliseconds previous{0};
  for (auto expected : {100ms, 200ms, 400ms, 800ms, 1000ms, 1000ms}) {
    FailoverStep full = exact.attemptFailed(t0, false);
    FailoverStep least = cut.attemptFailed(t0, false);
    ASSERT_EQ(full.kind, Kind::Wait);
    EXPECT_EQ(full.delay, expected);
    EXPECT_LT(least.delay, expected);
    EXPECT_GE(least.delay, expected / 2);
    EXPECT_GE(least.delay, previous / 2);
    previous = full.delay;
    exact.waited(t0);
    cut.waited(t0);
  }
}

TEST(FailoverPlan, StartUpEndsAtTheConnectTimeOutAndOnRefusal) {
  auto p = plan("failover:(tcp://a:1)?initialReconnectDelay=400&useExponentialBackOff=false", {kLowest}, 1s);
  EXPECT_EQ(p.start(t0).timeout, 1s);
  EXPECT_EQ(p.attemptFailed(t0 + 100ms, false).kind, Kind::Wait);
  FailoverStep second = p.waited(t0 + 500ms);
  EXPECT_EQ(second.timeout, 500ms) << "an attempt never runs past the start-up deadline";
  FailoverStep late = p.attemptFailed(t0 + 700ms, false);
  EXPECT_EQ(late.kind, Kind::GiveUp) << "waiting 400 ms would pass the deadline";
  EXPECT_EQ(late.attempts, 2);

  auto refused = plan("failover:(tcp://a:1)");
  refused.start(t0);
  EXPECT_EQ(refused.attemptFailed(t0, true).kind, Kind::GiveUp) << "bad credentials stay bad";

  auto counted = plan("failover:(tcp://a:1)?startupMaxReconnectAttempts=1");
  counted.start(t0);
  EXPECT_EQ(counted.attemptFailed(t0, false).kind, Kind::Wait);
  counted.waited(t0);
  EXPECT_EQ(counted.attemptFailed(t0, false).kind, Kind::GiveUp);
}

TEST(FailoverPlan, ShortSessionsSpendTheBudgetAndGiveUpAfterIt) {
  // A broker that answers CONNECTED and drops the session 0.2 s later.
  auto p = plan("failover:(tcp://a:1)?initialReconnectDelay=100&maxReconnectAttempts=3");
  p.start(t0);
  auto now = t0;
  p.sessionUp(now);
  std::chrono::milliseconds previous{0};
  for (int reconnect = 1; reconnect <= 3; ++reconnect) {
    now += 200ms;
    FailoverStep wait = p.sessionLost(now);
    ASSERT_EQ(wait.kind, Kind::Wait) << "reconnect " << reconnect;
    EXPECT_GT(wait.delay, previous) << "no immediate retry, and the delays grow";
    previous = wait.delay;
    now += wait.delay;
    FailoverStep attempt = p.waited(now);
    ASSERT_EQ(attempt.kind, Kind::Try);
    EXPECT_EQ(attempt.attempts, reconnect);
    p.sessionUp(now);
  }
  FailoverStep end = p.sessionLost(now + 200ms);
  EXPECT_EQ(end.kind, Kind::GiveUp);
  EXPECT_EQ(end.attempts, 3);
}

TEST(FailoverPlan, OnlyASessionThatLastedResetsTheBudget) {
  auto p = plan("failover:(tcp://a:1)?initialReconnectDelay=100&maxReconnectAttempts=2");
  p.start(t0);
  p.sessionUp(t0);
  FailoverStep w1 = p.sessionLost(t0 + 999ms);
  ASSERT_EQ(w1.kind, Kind::Wait);
  p.waited(t0 + 2s);
  EXPECT_EQ(p.attemptFailed(t0 + 2s, false).kind, Kind::Wait);
  p.waited(t0 + 3s);
  p.sessionUp(t0 + 3s);  // after two attempts: the budget is spent
  FailoverStep w2 = p.sessionLost(t0 + 4s);
  ASSERT_EQ(w2.kind, Kind::Wait) << "a session of the minimum time gives the budget back";
  EXPECT_EQ(w2.delay, 100ms) << "and the back-off starts again";
  EXPECT_EQ(w2.attempts, 0);
}

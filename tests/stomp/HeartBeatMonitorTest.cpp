// The heart-beat rule on a fake clock: when an end-of-line goes out, and
// that silence of three intervals is a loss while 2.25 intervals are not.
#include "stomp/HeartBeatMonitor.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using stomp::HeartBeatMonitor;

namespace {
const stomp::SteadyTime t0{};
}

TEST(HeartBeatMonitor, GapsOfTwoAndAQuarterIntervalsAreNoLossThreeAre) {
  HeartBeatMonitor m(0ms, 1000ms, t0);
  auto now = t0;
  for (int beat = 0; beat < 5; ++beat) {
    now += 2250ms;
    auto a = m.tick(now);
    EXPECT_FALSE(a.peerLost) << "beat " << beat;
    m.onRead(now);
  }
  auto before = m.tick(now + 2999ms);
  EXPECT_FALSE(before.peerLost);
  EXPECT_EQ(before.nextTick, now + 3000ms) << "asks again exactly when the peer would be lost";
  EXPECT_TRUE(m.tick(now + 3000ms).peerLost);
}

TEST(HeartBeatMonitor, SendsAnEndOfLineAfterHalfTheIntervalWithoutWriting) {
  HeartBeatMonitor m(1000ms, 0ms, t0);
  auto a = m.tick(t0 + 100ms);
  EXPECT_FALSE(a.sendBeat);
  EXPECT_EQ(a.nextTick, t0 + 500ms);
  m.onWrite(t0 + 300ms);  // a frame went out: that is traffic too
  EXPECT_FALSE(m.tick(t0 + 500ms).sendBeat);
  auto due = m.tick(t0 + 800ms);
  EXPECT_TRUE(due.sendBeat);
  EXPECT_EQ(due.nextTick, t0 + 1300ms);
  EXPECT_FALSE(m.tick(t0 + 900ms).sendBeat) << "the beat just sent counts as a write";
  EXPECT_FALSE(m.tick(t0 + 1400ms, true).sendBeat) << "a write under way needs no beat behind it";
  EXPECT_FALSE(m.tick(t0 + 10s).peerLost) << "receiving is off";
}

TEST(HeartBeatMonitor, BothDirectionsTickAtTheEarlierDueTime) {
  HeartBeatMonitor m(4000ms, 1000ms, t0);
  EXPECT_TRUE(m.active());
  EXPECT_EQ(m.tick(t0).nextTick, t0 + 2000ms);
  m.onWrite(t0 + 1500ms);
  EXPECT_EQ(m.tick(t0 + 1600ms).nextTick, t0 + 3000ms) << "the loss check comes first";
  EXPECT_FALSE(HeartBeatMonitor(0ms, 0ms, t0).active());
}

// When a lost trading-server session is reopened, and what ends the tries.
#include "manager/SessionPolicy.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using Do = SessionPolicy::Do;

TEST(SessionPolicy, BacksOffToTheCeilingAndStopsOnlyForRefusedCredentials) {
  SessionPolicy policy({500ms, 3000ms});
  EXPECT_TRUE(policy.up());
  // Only the first report of a loss is announced; reopen answers while up
  // are stale and change nothing.
  EXPECT_EQ(policy.reopenAnswered(mtret::Ok).what, Do::Nothing);
  const SessionPolicy::Next first = policy.lost();
  EXPECT_EQ(first.what, Do::Announce);
  EXPECT_EQ(first.delay, 500ms);
  EXPECT_EQ(policy.lost().what, Do::Nothing);
  EXPECT_FALSE(policy.up());

  // Network and not-connected answers wait twice as long each time, up to
  // the ceiling; so does anything else that is not a refused login.
  const MTAPIRES answers[] = {mtret::Network, mtret::NotConnected, mtret::Timeout, mtret::Error, mtret::Network};
  const std::chrono::milliseconds delays[] = {1000ms, 2000ms, 3000ms, 3000ms, 3000ms};
  for (int i = 0; i < 5; ++i) {
    const SessionPolicy::Next next = policy.reopenAnswered(answers[i]);
    EXPECT_EQ(next.what, Do::Reopen) << i;
    EXPECT_EQ(next.delay, delays[i]) << i;
  }
  EXPECT_EQ(policy.reopenAnswered(mtret::Ok).what, Do::Resume);
  EXPECT_EQ(policy.attempts(), 6);
  EXPECT_TRUE(policy.up());

  // A later loss starts again from the first delay.
  EXPECT_EQ(policy.lost().delay, 500ms);
  EXPECT_EQ(policy.attempts(), 0);

  for (const MTAPIRES refused : {mtret::AuthFailed, mtret::ManagerUnknown}) {
    SessionPolicy other({500ms, 30000ms});
    other.lost();
    EXPECT_EQ(other.reopenAnswered(refused).what, Do::Fail);
    EXPECT_TRUE(other.failed());
    // Nothing follows a failure.
    EXPECT_EQ(other.lost().what, Do::Nothing);
    EXPECT_EQ(other.reopenAnswered(mtret::Ok).what, Do::Nothing);
  }

  // A ceiling below the first delay caps that too.
  SessionPolicy tight({500ms, 200ms});
  EXPECT_EQ(tight.lost().delay, 200ms);
}

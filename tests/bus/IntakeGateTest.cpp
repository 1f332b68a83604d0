#include "bus/IntakeGate.h"

#include <gtest/gtest.h>

using Action = IntakeGate::Action;

TEST(IntakeGate, GivesTheQueuesUpOnlyAfterTheJournalStayedDownAndTakesThemOnlyAfterItStayedUp) {
  IntakeGate gate({2000, 3000});
  EXPECT_EQ(gate.observe(0, true), Action::None);
  // A short fault changes nothing.
  EXPECT_EQ(gate.observe(500, false), Action::None);
  EXPECT_EQ(gate.observe(2000, false), Action::None);
  EXPECT_EQ(gate.observe(2400, true), Action::None);
  EXPECT_FALSE(gate.released());
  // Counted from when it went down, not from the first look.
  EXPECT_EQ(gate.observe(3000, false), Action::None);
  EXPECT_EQ(gate.observe(4999, false), Action::None);
  EXPECT_EQ(gate.observe(5000, false), Action::Release);
  EXPECT_EQ(gate.observe(9000, false), Action::None);  // once
  EXPECT_TRUE(gate.released());
  // Up again: taken once it stayed up; a relapse starts the count afresh.
  EXPECT_EQ(gate.observe(10000, true), Action::None);
  EXPECT_EQ(gate.observe(12000, false), Action::None);
  EXPECT_EQ(gate.observe(13000, true), Action::None);
  EXPECT_EQ(gate.observe(15999, true), Action::None);
  EXPECT_EQ(gate.observe(16000, true), Action::Take);
  EXPECT_EQ(gate.observe(17000, true), Action::None);
  EXPECT_FALSE(gate.released());
  // A take that failed is answered again at the next look.
  EXPECT_EQ(gate.observe(18000, false), Action::None);
  EXPECT_EQ(gate.observe(20000, false), Action::Release);
  EXPECT_EQ(gate.observe(21000, true), Action::None);
  EXPECT_EQ(gate.observe(24000, true), Action::Take);
  gate.takeFailed();
  EXPECT_TRUE(gate.released());
  EXPECT_EQ(gate.observe(24500, true), Action::Take);
  // Down from the first look on.
  IntakeGate fresh;
  EXPECT_EQ(fresh.observe(100, false), Action::None);
  EXPECT_EQ(fresh.observe(2100, false), Action::Release);
}

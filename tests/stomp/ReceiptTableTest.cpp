// The receipt table: receipts matched, late ones ignored, deadlines in
// order, and everything failed at once when the session goes.
#include "stomp/ReceiptTable.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using stomp::ReceiptTable;

namespace {
const stomp::SteadyTime t0{};
}

TEST(ReceiptTable, ReceiptsAreMatchedOnceAndLateOnesFindNothing) {
  ReceiptTable t;
  const std::string r1 = t.newReceiptId(), r2 = t.newReceiptId();
  EXPECT_NE(r1, r2);
  int confirmed = 0;
  t.expect(r1, "send to /queue/a", t0 + 1s, [&](const stomp::Failure* f) { confirmed += f == nullptr; });
  t.expect(r2, "commit of tx-1", t0 + 2s, nullptr);
  auto e = t.take(r1);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->what, "send to /queue/a");
  e->done(nullptr);
  EXPECT_EQ(confirmed, 1);
  EXPECT_FALSE(t.take(r1)) << "a second receipt for the same frame";
  EXPECT_TRUE(t.waiting(r2));
  EXPECT_EQ(t.nextDeadline(), t0 + 2s);
}

TEST(ReceiptTable, DeadlinesExpireInOrderAndLossTakesEverything) {
  ReceiptTable t;
  t.expect("late", "ack", t0 + 3s, nullptr);
  t.expect("early", "send", t0 + 1s, nullptr);
  t.expect("middle", "subscribe", t0 + 2s, nullptr);
  EXPECT_EQ(t.nextDeadline(), t0 + 1s);
  auto expired = t.takeExpired(t0 + 2s);
  ASSERT_EQ(expired.size(), 2u);
  EXPECT_EQ(expired[0].receipt, "early");
  EXPECT_EQ(expired[1].receipt, "middle");
  EXPECT_FALSE(t.take("early")) << "a receipt after its time-out is ignored";
  t.expect("disconnect", "disconnect", t0 + 9s, nullptr);
  auto all = t.takeAll();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].receipt, "late");
  EXPECT_EQ(t.size(), 0u);
  EXPECT_FALSE(t.nextDeadline());
}

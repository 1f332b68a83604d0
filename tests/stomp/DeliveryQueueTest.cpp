// The bounded delivery queue on one thread: when it asks to stop reading,
// when to go on, and what a reconnection drops.
#include "stomp/DeliveryQueue.h"

#include <gtest/gtest.h>

using stomp::detail::DeliveryItem;
using stomp::detail::DeliveryQueue;

namespace {
DeliveryItem message(stomp::AckMode mode = stomp::AckMode::ClientIndividual) {
  return DeliveryItem{DeliveryItem::Kind::Message, {}, mode, nullptr, {}};
}
}  // namespace

TEST(DeliveryQueue, FullAtTheLimitRoomAgainAtHalf) {
  DeliveryQueue q(4);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(q.push(message()));
  EXPECT_TRUE(q.push(DeliveryItem{DeliveryItem::Kind::Interrupted, {}, stomp::AckMode::Auto, nullptr, {}}))
      << "events do not count against the limit";
  EXPECT_FALSE(q.push(message())) << "the fourth message fills it";
  bool resume = true;
  ASSERT_TRUE(q.pop(resume));
  EXPECT_FALSE(resume);
  ASSERT_TRUE(q.pop(resume));
  EXPECT_TRUE(resume) << "two of four left";
  EXPECT_EQ(q.messages(), 2u);
}

TEST(DeliveryQueue, ReconnectionDropsRedeliverableMessagesAndStopEndsPopping) {
  DeliveryQueue q(10);
  q.push(message());
  q.push(message(stomp::AckMode::Auto));
  q.dropRedeliverable();
  EXPECT_EQ(q.messages(), 1u) << "an auto-acknowledged message does not come again";
  q.stop();
  bool resume = false;
  EXPECT_FALSE(q.pop(resume));
  EXPECT_TRUE(q.push(message()));
  EXPECT_EQ(q.messages(), 0u);
}

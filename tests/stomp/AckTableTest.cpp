// Acknowledgement bookkeeping: individual and cumulative coverage, ACKs the
// broker does not expect, purge on unsubscribe and clear on reconnection.
#include "stomp/AckTable.h"

#include <gtest/gtest.h>

using stomp::AckTable;

TEST(AckTable, IndividualAcksCoverOneMessageOnce) {
  AckTable t;
  t.delivered("s", "a1", false);
  t.delivered("s", "a2", false);
  EXPECT_TRUE(t.acknowledge("a2"));
  EXPECT_FALSE(t.acknowledge("a2")) << "a second ACK would be an ERROR from the broker";
  EXPECT_TRUE(t.outstanding("a1"));
  EXPECT_FALSE(t.acknowledge("never-delivered"));
  EXPECT_EQ(t.outstanding(), 1u);
}

TEST(AckTable, ClientModeAckCoversEveryEarlierMessageOfItsSubscription) {
  AckTable t;
  t.delivered("c", "c1", true);
  t.delivered("other", "o1", true);
  t.delivered("c", "c2", true);
  t.delivered("c", "c3", true);
  EXPECT_TRUE(t.acknowledge("c2"));
  EXPECT_FALSE(t.outstanding("c1")) << "covered by the later ACK";
  EXPECT_FALSE(t.acknowledge("c1"));
  EXPECT_TRUE(t.outstanding("c3"));
  EXPECT_TRUE(t.outstanding("o1")) << "another subscription is not covered";
  EXPECT_EQ(t.outstandingOn("c"), 1u);
}

TEST(AckTable, UnsubscribePurgesItsMessagesAndReconnectionClearsAll) {
  AckTable t;
  t.delivered("a", "a1", false);
  t.delivered("b", "b1", true);
  t.delivered("b", "b2", true);
  t.purge("b");
  EXPECT_EQ(t.outstandingOn("b"), 0u);
  EXPECT_FALSE(t.acknowledge("b2"));
  EXPECT_TRUE(t.outstanding("a1"));
  t.clear();
  EXPECT_EQ(t.outstanding(), 0u);
  EXPECT_FALSE(t.acknowledge("a1")) << "messages of a lost session come again; their ACK is void";
}

// The confirmation stage's decisions, step by step: no broker, no thread,
// no clock; each wake-up is told when the test decides it is due.
#include "bus/ConfirmationPolicy.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct Item {
  std::string messageId;
  int request = 1;  // which delivery of the message
};
using Policy = ConfirmationPolicy<Item>;

Policy::Settings settings(std::size_t maxBatch = 64) { return Policy::Settings{maxBatch, 200ms, 1000ms}; }

std::vector<std::string> ids(const Policy::BatchPtr& batch) {
  std::vector<std::string> out;
  if (batch)
    for (const Item& item : *batch) out.push_back(item.messageId);
  return out;
}

std::vector<std::string> ids(const std::vector<Item>& items) {
  std::vector<std::string> out;
  for (const Item& item : items) out.push_back(item.messageId);
  return out;
}

using Ids = std::vector<std::string>;

TEST(ConfirmationPolicyTest, BatchesFormWhileOneIsInFlightAndAnUnconfirmedOneIsResentWithGrowingBackOff) {
  Policy p(settings(2));
  Policy::Actions a = p.ready({"a"});
  EXPECT_EQ(ids(a.send), Ids{"a"});  // alone: at once
  EXPECT_FALSE(a.resend);
  EXPECT_FALSE(p.ready({"b"}).send);
  EXPECT_FALSE(p.ready({"c"}).send);
  EXPECT_FALSE(p.ready({"d"}).send);

  // Not confirmed: the same batch again after 200, 400, 800, then 1000 ms.
  std::uint64_t token = 0;
  for (auto delay : {200ms, 400ms, 800ms, 1000ms, 1000ms}) {
    a = p.sent(SendResult::Failed, "lost", false);
    ASSERT_TRUE(a.resendAfter);
    EXPECT_EQ(*a.resendAfter, delay);
    EXPECT_FALSE(a.send);
    EXPECT_TRUE(a.record.empty());
    EXPECT_FALSE(p.resendDue(token).send) << "a stale wake-up resent";
    token = a.resendToken;
    a = p.resendDue(token);
    EXPECT_EQ(ids(a.send), Ids{"a"});
    EXPECT_TRUE(a.resend);
    EXPECT_FALSE(p.resendDue(token).send) << "one wake-up, one resend";
  }
  // Confirmed: recorded, and the next batch (at most two) goes.
  a = p.sent(SendResult::Confirmed, "", false);
  ASSERT_EQ(a.record.size(), 1u);
  EXPECT_EQ(ids(a.record.front()), Ids{"a"});
  EXPECT_TRUE(a.acknowledge.empty()) << "acknowledged before it was recorded";
  EXPECT_EQ(ids(a.send), (Ids{"b", "c"}));
  EXPECT_FALSE(a.resend);
  // A new batch starts its back-off again from the first delay.
  a = p.sent(SendResult::Failed, "lost", false);
  EXPECT_EQ(*a.resendAfter, 200ms);
}

TEST(ConfirmationPolicyTest, AConfirmedBatchIsAcknowledgedOnlyOnceRecordedAndRecordedAgainUntilItIs) {
  Policy p(settings());
  p.ready({"a"});
  EXPECT_FALSE(p.ready({"b"}).send);
  Policy::Actions a = p.sent(SendResult::Confirmed, "", false);
  const Policy::BatchPtr first = a.record.front();
  EXPECT_EQ(ids(a.send), Ids{"b"});
  a = p.sent(SendResult::Confirmed, "", false);
  const Policy::BatchPtr second = a.record.front();

  // Neither recorded: one wake-up, each batch recorded again in turn.
  a = p.recorded(first, false);
  EXPECT_TRUE(a.acknowledge.empty());
  ASSERT_TRUE(a.recordAgainAfter);
  EXPECT_EQ(*a.recordAgainAfter, 200ms);
  EXPECT_FALSE(p.recorded(second, false).recordAgainAfter) << "a second wake-up armed";
  a = p.recordAgainDue();
  EXPECT_EQ(a.record, std::vector<Policy::BatchPtr>{first});
  EXPECT_TRUE(a.recordAgainAfter);
  a = p.recordAgainDue();
  EXPECT_EQ(a.record, std::vector<Policy::BatchPtr>{second});
  EXPECT_FALSE(a.recordAgainAfter);
  EXPECT_TRUE(p.recordAgainDue().record.empty());

  a = p.recorded(first, true);
  EXPECT_EQ(ids(a.acknowledge), Ids{"a"});
  EXPECT_FALSE(p.idle());
  // An ACK not confirmed settles it too (the journal answers its next
  // delivery), but only a confirmed one is told on.
  a = p.acknowledgeEnded(Item{"a"}, false);
  EXPECT_TRUE(a.acknowledged.empty());
  EXPECT_FALSE(p.unsettled("a"));
  p.recorded(second, true);
  a = p.acknowledgeEnded(Item{"b"}, true);
  EXPECT_EQ(a.acknowledged, Ids{"b"});
  EXPECT_TRUE(p.idle());
}

TEST(ConfirmationPolicyTest, ARefusedBatchIsSentReplyByReplyAndOnlyTheRefusedOneIsRecordedAsSuch) {
  Policy q(settings());
  q.ready({"x"});
  q.ready({"y"});
  q.ready({"z"});
  Policy::Actions a = q.sent(SendResult::Confirmed, "", false);
  EXPECT_EQ(ids(a.send), (Ids{"y", "z"}));
  q.ready({"later"});
  a = q.sent(SendResult::Refused, "too large", false);
  EXPECT_TRUE(a.refuse.empty());
  EXPECT_EQ(ids(a.send), Ids{"y"});
  // One at a time; a reply not confirmed is resent as itself.
  a = q.sent(SendResult::Failed, "lost", false);
  a = q.resendDue(a.resendToken);
  EXPECT_EQ(ids(a.send), Ids{"y"});
  a = q.sent(SendResult::Confirmed, "", false);
  EXPECT_EQ(ids(a.record.front()), Ids{"y"});
  EXPECT_EQ(ids(a.send), Ids{"z"});
  a = q.sent(SendResult::Refused, "too large", false);
  ASSERT_EQ(a.refuse.size(), 1u);
  EXPECT_EQ(a.refuse.front().first.messageId, "z");
  EXPECT_EQ(a.refuse.front().second, "too large");
  EXPECT_EQ(ids(a.send), Ids{"later"}) << "the singles done, the next batch goes";

  // A refusal on disk is acknowledged; one not recorded is left for its
  // next delivery.
  a = q.refusalRecorded(Item{"z"}, true);
  EXPECT_EQ(ids(a.acknowledge), Ids{"z"});
  q.sent(SendResult::Refused, "bad", false);
  a = q.refusalRecorded(Item{"later"}, false);
  EXPECT_TRUE(a.acknowledge.empty());
  EXPECT_FALSE(q.unsettled("later"));
}

TEST(ConfirmationPolicyTest, StoppingGivesUpWhatWaitsToBeSentAgainAndWhatFailsFromThenOn) {
  Policy p(settings());
  p.ready({"a"});
  p.ready({"b"});
  Policy::Actions a = p.sent(SendResult::Failed, "lost", false);
  const std::uint64_t token = a.resendToken;
  a = p.stop();
  EXPECT_FALSE(p.unsettled("a")) << "given up: left for the next start";
  EXPECT_EQ(ids(a.send), Ids{"b"}) << "what is ready still goes";
  EXPECT_FALSE(p.resendDue(token).send);
  a = p.sent(SendResult::Failed, "lost", false);
  EXPECT_FALSE(a.resendAfter);
  EXPECT_TRUE(p.idle());
  // Told by the send's own outcome, without stop().
  Policy q(settings());
  q.ready({"c"});
  a = q.sent(SendResult::Failed, "lost", true);
  EXPECT_FALSE(a.resendAfter);
  EXPECT_TRUE(q.idle());
  // A record not made is still made again while stopping: its reply is
  // confirmed, and its request is to be acknowledged.
  q.ready({"d"});
  a = q.sent(SendResult::Confirmed, "", false);
  EXPECT_TRUE(q.recorded(a.record.front(), false).recordAgainAfter);
}

TEST(ConfirmationPolicyTest, TheNewestDeliveryOfARequestIsTheOneAcknowledged) {
  Policy p(settings());
  p.ready({"a", 1});
  EXPECT_FALSE(p.adopt("elsewhere", 2));
  EXPECT_TRUE(p.adopt("a", 2));
  EXPECT_TRUE(p.adopt("a", 3));
  Policy::Actions a = p.sent(SendResult::Confirmed, "", false);
  a = p.recorded(a.record.front(), true);
  ASSERT_EQ(a.acknowledge.size(), 1u);
  EXPECT_EQ(a.acknowledge.front().request, 3);
  // Delivered again while its ACK was under way: that one is acknowledged
  // too, once the first ACK ended.
  EXPECT_TRUE(p.adopt("a", 4));
  a = p.acknowledgeEnded(a.acknowledge.front(), false);
  ASSERT_EQ(a.acknowledge.size(), 1u);
  EXPECT_EQ(a.acknowledge.front().request, 4);
  EXPECT_TRUE(p.unsettled("a"));
  a = p.acknowledgeEnded(a.acknowledge.front(), true);
  EXPECT_EQ(a.acknowledged, Ids{"a"});
  EXPECT_TRUE(p.idle());
  EXPECT_FALSE(p.adopt("a", 5)) << "settled: a new delivery is handled as such";
}

}  // namespace

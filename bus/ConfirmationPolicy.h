#pragma once
// What the confirmation stage of one request queue does next, told what
// happened: an item became ready, a send ended, a wake-up came, a record
// or an acknowledgement ended. It answers with actions and keeps no clock,
// thread or socket, so every rule is tested step by step:
// - one batch in flight at a time; what becomes ready meanwhile goes
//   together when it ends (ConfirmationBatches);
// - a batch the broker did not confirm is sent again, the same replies,
//   after a back-off that doubles up to a bound, until it is confirmed or
//   the service stops (then it is given up: delivered again to the next
//   start); its requests stay unacknowledged meanwhile;
// - a batch the broker refused is sent again reply by reply, so that the
//   one refused is known; that one is recorded as refused, then
//   acknowledged;
// - a confirmed batch is recorded, then each request acknowledged; a batch
//   not recorded is recorded again after a pause, never acknowledged first;
// - a request delivered again while its reply is here is adopted: the
//   newest delivery is the one acknowledged.
// Not thread-safe: the stage holds its lock around every call.
//
// Item needs `std::string messageId` and `request` (the delivery to
// acknowledge, replaced by a newer one adopted).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bus/ConfirmationBatches.h"

// How the broker answered a send of replies.
enum class SendResult {
  Confirmed,  // its receipt came: the broker holds every reply
  Refused,    // its ERROR named the send: the same send gets the same answer
  Failed,     // no confirmation (lost connection, time-out): some may have arrived
};

template <typename Item>
class ConfirmationPolicy {
 public:
  using Batch = std::vector<Item>;
  using BatchPtr = std::shared_ptr<Batch>;
  using Request = decltype(Item::request);

  struct Settings {
    std::size_t maxBatch = 64;
    std::chrono::milliseconds firstDelay{200};
    std::chrono::milliseconds maxDelay{5000};
  };

  // Carried out in this order by the stage.
  struct Actions {
    std::vector<BatchPtr> record;                          // record as confirmed; then recorded()
    std::vector<std::pair<Item, std::string>> refuse;      // record as refused (why); then refusalRecorded()
    std::vector<Item> acknowledge;                         // acknowledge; then acknowledgeEnded()
    std::vector<std::string> acknowledged;                 // message ids whose ACK the broker confirmed
    std::optional<std::chrono::milliseconds> resendAfter;  // then resendDue(resendToken)
    std::uint64_t resendToken = 0;
    std::optional<std::chrono::milliseconds> recordAgainAfter;  // then recordAgainDue()
    BatchPtr send;                                              // send these replies; then sent()
    bool resend = false;
  };

  explicit ConfirmationPolicy(Settings settings) : settings_(settings), batches_(settings.maxBatch) {}

  Actions ready(Item item) {
    Actions a;
    ++unsettled_[item.messageId];
    Batch batch = batches_.ready(std::move(item));
    if (!batch.empty()) start(std::make_shared<Batch>(std::move(batch)), a);
    return a;
  }

  // The send in flight ended. stopping: the service stops, so a send not
  // confirmed is given up at once.
  Actions sent(SendResult result, const std::string& why, bool stopping) {
    Actions a;
    if (!inFlight_ || waiting_) return a;
    stopping_ = stopping_ || stopping;
    BatchPtr batch = std::move(inFlight_);
    switch (result) {
      case SendResult::Confirmed:
        a.record.push_back(std::move(batch));
        break;
      case SendResult::Failed:
        if (!stopping_) {
          inFlight_ = std::move(batch);
          waiting_ = true;
          a.resendAfter = delay_;
          a.resendToken = ++resendToken_;
          delay_ = std::min(delay_ * 2, settings_.maxDelay);
          return a;
        }
        giveUp(*batch);
        break;
      case SendResult::Refused:
        if (batch->size() == 1) {
          a.refuse.emplace_back(std::move(batch->front()), why);
        } else {
          for (Item& item : *batch) singles_.push_back(std::move(item));
        }
        break;
    }
    next(a);
    return a;
  }

  // The back-off of the batch in flight is over (a stale token: ignored).
  Actions resendDue(std::uint64_t token) {
    Actions a;
    if (!waiting_ || token != resendToken_) return a;
    waiting_ = false;
    a.send = inFlight_;
    a.resend = true;
    return a;
  }

  // The service stops: a batch waiting to be sent again is given up.
  Actions stop() {
    Actions a;
    stopping_ = true;
    if (!waiting_) return a;
    waiting_ = false;
    giveUp(*inFlight_);
    inFlight_.reset();
    next(a);
    return a;
  }

  Actions recorded(const BatchPtr& batch, bool onDisk) {
    Actions a;
    if (onDisk) {
      for (Item& item : *batch) acknowledge(std::move(item), a);
      return a;
    }
    unrecorded_.push_back(batch);
    armRecordAgain(a);
    return a;
  }

  Actions recordAgainDue() {
    Actions a;
    recordAgainArmed_ = false;
    if (unrecorded_.empty()) return a;
    a.record.push_back(std::move(unrecorded_.front()));
    unrecorded_.pop_front();
    if (!unrecorded_.empty()) armRecordAgain(a);
    return a;
  }

  // Not recorded: left unacknowledged; its next delivery sends it again.
  Actions refusalRecorded(Item item, bool onDisk) {
    Actions a;
    if (onDisk)
      acknowledge(std::move(item), a);
    else
      settle(item.messageId);
    return a;
  }

  // Not confirmed: the request comes again and the journal answers it as
  // acknowledged-only. A delivery adopted meanwhile is acknowledged now.
  Actions acknowledgeEnded(Item item, bool confirmed) {
    Actions a;
    if (confirmed) a.acknowledged.push_back(item.messageId);
    if (adopted_.count(item.messageId))
      acknowledge(std::move(item), a);
    else
      settle(item.messageId);
    return a;
  }

  // A delivery again of a request whose reply is here: true when taken in
  // place of the earlier one (nothing is carried out or sent for it).
  bool adopt(const std::string& messageId, Request newer) {
    if (!unsettled_.count(messageId)) return false;
    adopted_.insert_or_assign(messageId, std::move(newer));
    return true;
  }

  // Every item handed over was acknowledged or given up.
  bool idle() const { return unsettled_.empty(); }
  bool unsettled(const std::string& messageId) const { return unsettled_.count(messageId) != 0; }

 private:
  void start(BatchPtr batch, Actions& a) {
    inFlight_ = batch;
    delay_ = settings_.firstDelay;
    a.send = std::move(batch);
    a.resend = false;
  }

  // The next single of a refused batch, else the next batch.
  void next(Actions& a) {
    if (!singles_.empty()) {
      auto one = std::make_shared<Batch>();
      one->push_back(std::move(singles_.front()));
      singles_.pop_front();
      return start(std::move(one), a);
    }
    Batch batch = batches_.finished();
    if (!batch.empty()) start(std::make_shared<Batch>(std::move(batch)), a);
  }

  void acknowledge(Item item, Actions& a) {
    auto newer = adopted_.find(item.messageId);
    if (newer != adopted_.end()) {
      item.request = std::move(newer->second);
      adopted_.erase(newer);
    }
    a.acknowledge.push_back(std::move(item));
  }

  void armRecordAgain(Actions& a) {
    if (recordAgainArmed_) return;
    recordAgainArmed_ = true;
    a.recordAgainAfter = settings_.firstDelay;
  }

  void giveUp(const Batch& batch) {
    for (const Item& item : batch) settle(item.messageId);
  }

  void settle(const std::string& messageId) {
    auto it = unsettled_.find(messageId);
    if (it != unsettled_.end() && --it->second == 0) {
      unsettled_.erase(it);
      adopted_.erase(messageId);
    }
  }

  const Settings settings_;
  ConfirmationBatches<Item> batches_;
  BatchPtr inFlight_;     // being sent, or waiting to be sent again
  bool waiting_ = false;  // inFlight_ waits for resendDue()
  std::uint64_t resendToken_ = 0;
  std::chrono::milliseconds delay_{0};
  std::deque<Item> singles_;  // of a refused batch, sent one by one
  std::deque<BatchPtr> unrecorded_;
  bool recordAgainArmed_ = false;
  bool stopping_ = false;
  // Handed over, not yet acknowledged nor given up, by message id.
  std::unordered_map<std::string, int> unsettled_;
  std::unordered_map<std::string, Request> adopted_;  // newer deliveries of those
};

#include "bus/ReplyConfirmer.h"
#include "support/ThreadName.h"

#include <algorithm>
#include <memory>

#include "support/DailyLog.h"
#include "support/Metrics.h"
#include "support/PasswordMask.h"

namespace {

using Clock = std::chrono::steady_clock;

// Replies are written with their keys in order: the code comes first.
bool isSuccessReply(const std::string& reply) { return reply.rfind("{\"code\":200,", 0) == 0; }

}  // namespace

ReplyConfirmer::ReplyConfirmer(std::string queue, stomp::Connection& consumer, InFlight& inFlight, Settings settings,
                               ConfirmedHook confirmed, AcknowledgedHook acknowledged, RefusedHook refused)
    : queue_(std::move(queue)),
      consumer_(consumer),
      inFlight_(inFlight),
      settings_(settings),
      confirmed_(std::move(confirmed)),
      acknowledged_(std::move(acknowledged)),
      refused_(std::move(refused)),
      batches_(settings.maxBatch),
      thread_([this] {
        nameThisThread("confirm");
        run();
      }) {}

ReplyConfirmer::~ReplyConfirmer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
  // The journal calls back for what it is recording; that must find this.
  std::unique_lock<std::mutex> lock(mutex_);
  wake_.wait(lock, [this] { return recording_ == 0; });
}

void ReplyConfirmer::submit(Item item) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++unsettled_[item.messageId];
  Batch batch = batches_.ready(std::move(item));
  if (batch.empty()) return;  // goes with the next batch
  current_ = std::move(batch);
  wake_.notify_all();
}

bool ReplyConfirmer::adopt(const stomp::Message& redelivery) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!unsettled_.count(redelivery.messageId())) return false;
  adopted_.insert_or_assign(redelivery.messageId(), redelivery);
  return true;
}

bool ReplyConfirmer::drain(Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  return wake_.wait_until(lock, deadline, [this] { return unsettled_.empty(); });
}

void ReplyConfirmer::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !current_.empty() || !unrecorded_.empty(); });
    if (!stopping_ && current_.empty()) {
      recordAgain(lock);
      continue;
    }
    if (stopping_) {
      // What is left is delivered again.
      for (const auto& batch : unrecorded_)
        for (const Item& item : *batch) settledLocked(item.messageId);
      unrecorded_.clear();
      return;
    }
    Batch batch = std::move(current_);
    current_.clear();
    lock.unlock();
    confirm(batch);
    lock.lock();
    current_ = batches_.finished();
  }
}

void ReplyConfirmer::confirm(Batch& batch) {
  std::string why;
  switch (sendUntilConfirmed(batch, why)) {
    case Sent::Confirmed:
      record(std::make_shared<Batch>(std::move(batch)));
      return;
    case Sent::GivenUp:  // stopping: left unacknowledged
      for (const Item& item : batch) settled(item.messageId);
      return;
    case Sent::Refused:
      break;
  }
  if (batch.size() == 1) return refuse(std::move(batch.front()), why);
  // Which reply the broker refuses is told one reply at a time.
  for (Item& item : batch) {
    Batch one;
    one.push_back(std::move(item));
    confirm(one);
  }
}

void ReplyConfirmer::refuse(Item item, const std::string& why) {
  serviceMetrics().replyRefused(queue_);
  writeLog("DestURI:%s,Refused: %s (%s)\n", item.channel->destination().c_str(), maskPasswords(item.reply).c_str(),
           why.c_str());
  if (!refused_) return settled(item.messageId);
  auto refusedItem = std::make_shared<Item>(std::move(item));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++recording_;
  }
  refused_(*refusedItem, why, [this, refusedItem](bool onDisk) {
    // Not recorded: left unacknowledged; the next delivery sends it again.
    if (onDisk)
      acknowledge(std::move(*refusedItem));
    else
      settled(refusedItem->messageId);
    std::lock_guard<std::mutex> lock(mutex_);
    --recording_;
    wake_.notify_all();
  });
}

void ReplyConfirmer::record(std::shared_ptr<Batch> recorded) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++recording_;
  }
  confirmed_(*recorded, [this, recorded](bool onDisk) {
    if (onDisk)
      for (Item& item : *recorded) acknowledge(std::move(item));
    // Told under the lock: once it is released the destructor may go on.
    std::lock_guard<std::mutex> lock(mutex_);
    if (!onDisk) {
      // Not recorded: not acknowledged yet; recorded again unless stopping
      // (then the broker delivers it again and its stored reply goes again).
      if (stopping_) {
        for (const Item& item : *recorded) settledLocked(item.messageId);
      } else {
        unrecorded_.push_back(recorded);
      }
    }
    --recording_;
    wake_.notify_all();
  });
}

void ReplyConfirmer::recordAgain(std::unique_lock<std::mutex>& lock) {
  wake_.wait_for(lock, settings_.firstResendDelay, [this] { return stopping_; });
  if (stopping_ || unrecorded_.empty()) return;
  std::shared_ptr<Batch> batch = unrecorded_.front();
  unrecorded_.erase(unrecorded_.begin());
  lock.unlock();
  record(std::move(batch));
  lock.lock();
}

ReplyConfirmer::Sent ReplyConfirmer::sendUntilConfirmed(Batch& batch, std::string& why) {
  Metrics& metrics = serviceMetrics();
  std::vector<OutgoingReply> replies;
  replies.reserve(batch.size());
  for (const Item& item : batch) replies.push_back(OutgoingReply{item.reply, item.correlationId});
  ReplyChannel& channel = *batch.front().channel;
  auto delay = settings_.firstResendDelay;
  for (bool resend = false;; resend = true) {
    try {
      if (resend)
        for (std::size_t i = 0; i < batch.size(); ++i) metrics.replyResent(queue_);
      channel.sendReplies(replies);
      const Clock::time_point now = Clock::now();
      for (const Item& item : batch) {
        metrics.observeConfirmation(queue_, std::chrono::duration<double>(now - item.readyAt).count());
        metrics.replySent(queue_, isSuccessReply(item.reply));
        if (resend)
          writeLog("DestURI:%s,Resent: %s\n", channel.destination().c_str(), maskPasswords(item.reply).c_str());
      }
      return Sent::Confirmed;
    } catch (const stomp::BrokerError& e) {
      // The broker answered this send with an ERROR: sending it the same
      // way again gets the same answer.
      why = e.what();
      return Sent::Refused;
    } catch (const std::exception&) {
      // The channel logged the failure with every reply.
    }
    // Back-off, cut short when the service stops: the next start resends.
    const Clock::time_point until = Clock::now() + delay;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_ && !inFlight_.stopping() && Clock::now() < until)
      wake_.wait_for(lock, std::min<Clock::duration>(std::chrono::milliseconds(50), until - Clock::now()));
    if (stopping_ || inFlight_.stopping()) return Sent::GivenUp;
    delay = std::min(delay * 2, settings_.maxResendDelay);
  }
}

void ReplyConfirmer::acknowledge(Item item) {
  {
    // The newest delivery of the request is the one to acknowledge.
    std::lock_guard<std::mutex> lock(mutex_);
    auto newer = adopted_.find(item.messageId);
    if (newer != adopted_.end()) {
      item.request = std::move(newer->second);
      adopted_.erase(newer);
    }
  }
  // A confirmed ACK of its own, not one transaction for the batch: the
  // broker's STOMP side looks through every ACK it took in transactions at
  // each commit, a cost that grows with the run (hundreds of requests a
  // second lost after a few hundred thousand).
  auto acked = std::make_shared<Item>(std::move(item));
  consumer_.ackAsync(acked->request, [this, acked](std::exception_ptr e) { acknowledged(*acked, !e); });
}

void ReplyConfirmer::acknowledged(const Item& item, bool confirmed) {
  // Not confirmed: the request comes again, and the journal answers it as
  // acknowledged-only (its reply is confirmed); if it came again meanwhile,
  // that delivery is acknowledged now, on the connection it came on.
  if (confirmed && acknowledged_) acknowledged_(item);
  {
    // Looked at and settled under one lock, so that a delivery adopted in
    // between is not dropped with the settling.
    std::lock_guard<std::mutex> lock(mutex_);
    if (!adopted_.count(item.messageId)) {
      settledLocked(item.messageId);
      wake_.notify_all();
      return;
    }
  }
  acknowledge(item);
}

void ReplyConfirmer::settled(const std::string& messageId) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    settledLocked(messageId);
  }
  wake_.notify_all();
}

void ReplyConfirmer::settledLocked(const std::string& messageId) {
  auto it = unsettled_.find(messageId);
  if (it != unsettled_.end() && --it->second == 0) {
    unsettled_.erase(it);
    adopted_.erase(messageId);
  }
}

#include "bus/ReplyConfirmer.h"

#include <memory>
#include <utility>

#include "support/DailyLog.h"
#include "support/Metrics.h"
#include "support/PasswordMask.h"

namespace {

using Clock = std::chrono::steady_clock;

// Replies are written with their keys in order: the code comes first.
bool isSuccessReply(const std::string& reply) { return reply.rfind("{\"code\":200,", 0) == 0; }

}  // namespace

struct ReplyConfirmer::Stage : std::enable_shared_from_this<Stage> {
  using Policy = ConfirmationPolicy<Item>;
  using Actions = Policy::Actions;
  using BatchPtr = Policy::BatchPtr;

  Stage(std::string queueName, stomp::Connection& connection, InFlight& flight, std::shared_ptr<stomp::IoThread> thread,
        Settings settings, ConfirmedHook onConfirmed, AcknowledgedHook onAcknowledged, RefusedHook onRefused)
      : queue(std::move(queueName)),
        consumer(connection),
        inFlight(flight),
        io(std::move(thread)),
        confirmed(std::move(onConfirmed)),
        acknowledged(std::move(onAcknowledged)),
        refused(std::move(onRefused)),
        policy(Policy::Settings{settings.maxBatch, settings.firstResendDelay, settings.maxResendDelay}) {}

  // Tells the policy what happened and carries out its answer, outside the
  // lock (a channel may answer at once, coming back here). Nothing once the
  // stage is closed.
  template <typename Event>
  void feed(Event&& event) {
    Actions actions;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (closed) return;
      actions = event(policy);
      ++busy;
    }
    Busy guard{*this};
    carryOut(actions);
  }

  // Held while this works outside the lock: the destructor waits for it.
  struct Busy {
    Stage& stage;
    ~Busy() {
      std::lock_guard<std::mutex> lock(stage.mutex);
      --stage.busy;
      stage.changed.notify_all();
    }
  };

  void carryOut(Actions& actions) {
    for (BatchPtr& batch : actions.record) record(std::move(batch));
    for (auto& [item, why] : actions.refuse) refuse(std::move(item), why);
    for (Item& item : actions.acknowledge) acknowledge(std::move(item));
    if (acknowledged)
      for (const std::string& id : actions.acknowledged) acknowledged(id);
    if (actions.resendAfter) {
      const std::uint64_t token = actions.resendToken;
      wakeAfter(*actions.resendAfter, [token](Policy& p) { return p.resendDue(token); });
    }
    if (actions.recordAgainAfter) wakeAfter(*actions.recordAgainAfter, [](Policy& p) { return p.recordAgainDue(); });
    if (actions.send) send(std::move(actions.send), actions.resend);
  }

  void send(BatchPtr batch, bool resend) {
    std::vector<OutgoingReply> replies;
    replies.reserve(batch->size());
    for (const Item& item : *batch) {
      replies.push_back(OutgoingReply{item.reply, item.correlationId});
      if (resend) serviceMetrics().replyResent(queue);
    }
    ReplyChannel& channel = *batch->front().channel;
    channel.sendRepliesAsync(replies,
                             [self = shared_from_this(), batch, resend](SendResult result, const std::string& why) {
                               self->sendEnded(batch, resend, result, why);
                             });
  }

  void sendEnded(const BatchPtr& batch, bool resend, SendResult result, const std::string& why) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (closed) return;
      ++busy;
    }
    Busy guard{*this};
    if (result == SendResult::Confirmed) {
      Metrics& metrics = serviceMetrics();
      const Clock::time_point now = Clock::now();
      for (const Item& item : *batch) {
        metrics.observeConfirmation(queue, std::chrono::duration<double>(now - item.readyAt).count());
        metrics.replySent(queue, isSuccessReply(item.reply));
        if (resend)
          writeLog("DestURI:%s,Resent: %s\n", item.channel->destination().c_str(), maskPasswords(item.reply).c_str());
      }
    }
    // The channel logged a failure with every reply.
    const bool stopping = inFlight.stopping();
    feed([&](Policy& p) { return p.sent(result, why, stopping); });
  }

  void record(BatchPtr batch) {
    if (!confirmed) return feed([&](Policy& p) { return p.recorded(batch, true); });
    {
      std::lock_guard<std::mutex> lock(mutex);
      ++recording;
    }
    confirmed(*batch, [self = shared_from_this(), batch](bool onDisk) {
      self->feed([&](Policy& p) { return p.recorded(batch, onDisk); });
      self->recordEnded();
    });
  }

  void refuse(Item item, const std::string& why) {
    serviceMetrics().replyRefused(queue);
    writeLog("DestURI:%s,Refused: %s (%s)\n", item.channel->destination().c_str(), maskPasswords(item.reply).c_str(),
             why.c_str());
    // Without a record of the refusal the request is left unacknowledged.
    if (!refused) return feed([&](Policy& p) { return p.refusalRecorded(std::move(item), false); });
    auto refusedItem = std::make_shared<Item>(std::move(item));
    {
      std::lock_guard<std::mutex> lock(mutex);
      ++recording;
    }
    refused(*refusedItem, why, [self = shared_from_this(), refusedItem](bool onDisk) {
      self->feed([&](Policy& p) { return p.refusalRecorded(std::move(*refusedItem), onDisk); });
      self->recordEnded();
    });
  }

  void recordEnded() {
    std::lock_guard<std::mutex> lock(mutex);
    --recording;
    changed.notify_all();
  }

  void acknowledge(Item item) {
    // A confirmed ACK of its own, not one transaction for the batch: the
    // broker's STOMP side looks through every ACK it took in transactions at
    // each commit, a cost that grows with the run (hundreds of requests a
    // second lost after a few hundred thousand).
    auto acked = std::make_shared<Item>(std::move(item));
    auto ended = [self = shared_from_this(), acked](std::exception_ptr error) {
      self->feed([&](Policy& p) { return p.acknowledgeEnded(std::move(*acked), !error); });
    };
    try {
      consumer.ackAsync(acked->request, ended);
    } catch (const std::exception&) {
      ended(std::current_exception());
    }
  }

  template <typename Event>
  void wakeAfter(std::chrono::milliseconds delay, Event event) {
    io->runAfter(delay, [weak = weak_from_this(), event]() mutable {
      if (auto self = weak.lock()) self->feed(event);
    });
  }

  const std::string queue;
  stomp::Connection& consumer;
  InFlight& inFlight;
  const std::shared_ptr<stomp::IoThread> io;
  const ConfirmedHook confirmed;
  const AcknowledgedHook acknowledged;
  const RefusedHook refused;

  std::mutex mutex;
  std::condition_variable changed;
  Policy policy;
  int busy = 0;       // callers carrying out the policy's actions
  int recording = 0;  // records the journal has not answered yet
  bool closed = false;
};

ReplyConfirmer::ReplyConfirmer(std::string queue, stomp::Connection& consumer, InFlight& inFlight,
                               std::shared_ptr<stomp::IoThread> io, Settings settings, ConfirmedHook confirmed,
                               AcknowledgedHook acknowledged, RefusedHook refused)
    : stage_(std::make_shared<Stage>(std::move(queue), consumer, inFlight, std::move(io), settings,
                                     std::move(confirmed), std::move(acknowledged), std::move(refused))) {}

ReplyConfirmer::~ReplyConfirmer() {
  // The journal calls back for what it is recording, and a hook under way
  // uses what its owner is about to close: both must end first.
  std::unique_lock<std::mutex> lock(stage_->mutex);
  stage_->closed = true;
  stage_->changed.wait(lock, [this] { return stage_->busy == 0 && stage_->recording == 0; });
}

void ReplyConfirmer::submit(Item item) {
  stage_->feed([&](Stage::Policy& p) { return p.ready(std::move(item)); });
}

bool ReplyConfirmer::adopt(const stomp::Message& redelivery) {
  std::lock_guard<std::mutex> lock(stage_->mutex);
  return !stage_->closed && stage_->policy.adopt(redelivery.messageId(), redelivery);
}

bool ReplyConfirmer::drain(Clock::time_point deadline) {
  stage_->feed([](Stage::Policy& p) { return p.stop(); });
  std::unique_lock<std::mutex> lock(stage_->mutex);
  return stage_->changed.wait_until(lock, deadline, [this] { return stage_->policy.idle() && stage_->busy == 0; });
}

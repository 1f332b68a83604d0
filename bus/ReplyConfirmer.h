#pragma once
// The confirmation stage of one request queue. The consumer's delivery
// thread hands over each request whose reply is ready and goes on with the
// next request; here the replies ready meanwhile are sent together (one
// transaction, one receipt), recorded as confirmed, and only then are their
// requests acknowledged (each ACK confirmed by its receipt). A
// batch the broker did not confirm is sent again, the same replies with the
// same correlation ids, with back-off, until it is confirmed or the service
// stops; its requests stay unacknowledged meanwhile. A batch confirmed but
// not recorded (the journal could not write) is recorded again, with the
// same back-off, before its requests are acknowledged. A reply the broker
// refuses outright is recorded as refused and its request acknowledged; a
// batch holding one is sent again reply by reply, so the others go on.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "bus/ConfirmationBatches.h"
#include "bus/InFlight.h"
#include "bus/ReplyChannel.h"
#include "stomp/Client.h"

class ReplyConfirmer {
 public:
  struct Item {
    stomp::Message request;  // acknowledged on the consumer's connection
    std::string messageId;
    std::string correlationId;
    std::string reply;
    ReplyChannel* channel = nullptr;
    std::chrono::steady_clock::time_point readyAt;
  };
  using Batch = std::vector<Item>;
  // Records a batch's replies as confirmed and calls done(true) once that
  // is on disk, from any thread, without blocking: the next batch is sent
  // meanwhile. A batch not recorded is not acknowledged (the broker delivers
  // it again and its stored reply goes out again).
  using ConfirmedHook = std::function<void(const Batch&, std::function<void(bool)> done)>;
  // Told once the broker confirmed a request's acknowledgement.
  using AcknowledgedHook = std::function<void(const Item&)>;
  // Records that the broker refused an item's reply for good (its ERROR
  // named that send), calling done(true) once that is on disk; the request
  // is then acknowledged without a reply.
  using RefusedHook = std::function<void(const Item&, const std::string& why, std::function<void(bool)> done)>;

  struct Settings {
    std::size_t maxBatch = 64;
    std::chrono::milliseconds firstResendDelay{200};
    std::chrono::milliseconds maxResendDelay{5000};
  };

  // consumer: the connection the requests came on. inFlight tells when the
  // service stops (resends then end at once).
  ReplyConfirmer(std::string queue, stomp::Connection& consumer, InFlight& inFlight, Settings settings,
                 ConfirmedHook confirmed, AcknowledgedHook acknowledged, RefusedHook refused = nullptr);
  // Ends the stage; what is not acknowledged by then is delivered again.
  ~ReplyConfirmer();
  ReplyConfirmer(const ReplyConfirmer&) = delete;
  ReplyConfirmer& operator=(const ReplyConfirmer&) = delete;

  void submit(Item item);
  // A delivery again (after a reconnection) of a request whose reply is
  // still here: true when it was taken in place of the earlier one, which
  // can no longer be acknowledged; it is acknowledged once the reply is
  // confirmed, and nothing is carried out or sent for it. False: not here.
  bool adopt(const stomp::Message& redelivery);
  // Waits until every item handed over so far was acknowledged (or given
  // up), at most until deadline; true when none is left.
  bool drain(std::chrono::steady_clock::time_point deadline);

 private:
  void run();
  void confirm(Batch& batch);
  void record(std::shared_ptr<Batch> batch);
  // Records again, after the back-off, what the journal did not take.
  void recordAgain(std::unique_lock<std::mutex>& lock);
  enum class Sent { Confirmed, Refused, GivenUp };
  // Refused: the broker's ERROR named a send (why says what it said).
  Sent sendUntilConfirmed(Batch& batch, std::string& why);
  void refuse(Item item, const std::string& why);
  void acknowledge(Item item);
  void acknowledged(const Item& item, bool confirmed);
  void settled(const std::string& messageId);
  void settledLocked(const std::string& messageId);

  const std::string queue_;
  stomp::Connection& consumer_;
  InFlight& inFlight_;
  const Settings settings_;
  ConfirmedHook confirmed_;
  AcknowledgedHook acknowledged_;
  RefusedHook refused_;

  std::mutex mutex_;
  std::condition_variable wake_;
  ConfirmationBatches<Item> batches_;
  Batch current_;  // the batch the stage's thread works on
  // Handed over, not yet acknowledged nor given up, by message id.
  std::unordered_map<std::string, int> unsettled_;
  std::unordered_map<std::string, stomp::Message> adopted_;  // newer deliveries of those
  int recording_ = 0;                                        // batches whose confirmation is being recorded
  std::vector<std::shared_ptr<Batch>> unrecorded_;           // confirmed, not recorded yet
  bool stopping_ = false;
  std::thread thread_;
};

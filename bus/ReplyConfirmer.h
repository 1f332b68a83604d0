#pragma once
// The confirmation stage of one request queue. The consumer's delivery
// thread hands over each request whose reply is ready and goes on with the
// next request; the replies ready meanwhile are sent together (one
// transaction, one receipt), recorded as confirmed, and only then are their
// requests acknowledged (each ACK confirmed by its receipt). What to do next
// is ConfirmationPolicy's decision; this carries it out, without a thread
// of its own: sends, acknowledgements and wake-ups run on the connections'
// I/O thread, records on the journal's writer, and each outcome is handed
// back to the policy on the thread that learned it.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bus/ConfirmationPolicy.h"
#include "bus/InFlight.h"
#include "bus/ReplyChannel.h"
#include "stomp/Client.h"
#include "stomp/IoThread.h"

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
  using AcknowledgedHook = std::function<void(const std::string& messageId)>;
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
  // service stops (a send not confirmed is then given up at once). io runs
  // the back-off's wake-ups. Hooks run on any of the threads named above.
  ReplyConfirmer(std::string queue, stomp::Connection& consumer, InFlight& inFlight,
                 std::shared_ptr<stomp::IoThread> io, Settings settings, ConfirmedHook confirmed,
                 AcknowledgedHook acknowledged, RefusedHook refused = nullptr);
  // Ends the stage once no hook runs and no record is pending; what is not
  // acknowledged by then is delivered again.
  ~ReplyConfirmer();
  ReplyConfirmer(const ReplyConfirmer&) = delete;
  ReplyConfirmer& operator=(const ReplyConfirmer&) = delete;

  void submit(Item item);
  // A delivery again (after a reconnection) of a request whose reply is
  // still here: true when it was taken in place of the earlier one, which
  // can no longer be acknowledged; it is acknowledged once the reply is
  // confirmed, and nothing is carried out or sent for it. False: not here.
  bool adopt(const stomp::Message& redelivery);
  // Gives up a batch waiting to be sent again (the service stops), then
  // waits until every item handed over so far was acknowledged (or given
  // up), at most until deadline; true when none is left.
  bool drain(std::chrono::steady_clock::time_point deadline);

 private:
  struct Stage;  // shared with the callbacks, which may outlive this
  std::shared_ptr<Stage> stage_;
};

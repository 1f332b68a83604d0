#pragma once
// Carries one delivery of a request through the journal: decides from what
// the journal knows whether to carry it out, check the trading server first,
// answer it from the journal or wait for the process that has it; records
// each step; hands back the reply to be confirmed. Called from the four
// consumers' delivery threads at once.
//
// No answer is ever revised: a reply goes only once its outcome is
// recorded, and when the journal cannot record, the request is held (its
// delivery thread waits, so the broker keeps it and the rest of the queue)
// until the journal writes again. So is every request while the
// trading-server session is down: nothing is answered because the server is
// away.
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "bus/Delivery.h"
#include "bus/DeliveryPolicy.h"
#include "bus/InFlight.h"
#include "bus/ReplyConfirmer.h"
#include "bus/RequestJournal.h"
#include "bus/RouteRequest.h"

class RequestProcessor {
 public:
  struct Settings {
    bool retrySafeSerials = false;
    // How long a request another live process has in hand is waited for
    // before it is answered as in doubt.
    std::chrono::milliseconds ownerWait{30000};
    // How often a journal that cannot write is tried again.
    std::chrono::milliseconds journalRetry{1000};
    // How often a request waiting for the trading-server session looks again.
    std::chrono::milliseconds sessionPoll{100};
  };

  RequestProcessor(Routes routes, RequestJournal& journal, InFlight& inFlight, Settings settings);

  // What becomes of the delivery: its reply to be confirmed (recorded as
  // done first), acknowledged at once (no reply: not a JSON object, no
  // route, unreadable; or answered before), or left to the broker to
  // deliver again (stopping).
  Settlement process(const Delivery& delivery);
  // A batch of replies of queue was confirmed: then(true) once that is on
  // disk (on the journal's thread).
  void confirmed(const std::string& queue, const ReplyConfirmer::Batch& batch, std::function<void(bool)> then);
  // The broker refused a reply for good: then(true) once that is on disk.
  void refused(const std::string& queue, const ReplyConfirmer::Item& item, const std::string& why,
               std::function<void(bool)> then);
  // After the broker confirmed the acknowledgement.
  void acknowledged(const std::string& queue, const std::string& messageId);

 private:
  struct Request;
  struct HeldRequest;
  struct UnwrittenDones;
  // Each step answers the delivery, or nothing: decide again from what the
  // journal holds now.
  using Step = std::optional<Settlement>;

  Settlement decideAndAct(Request& request);
  Step act(Request& request, const DeliveryDecision& decision, const JournalEntry* own);
  Step carryOut(Request& request, const JournalEntry* own);
  Step checkThenCarryOut(Request& request, const JournalEntry* subject, const JournalEntry* own);
  Step answerInDoubt(Request& request, const std::string& why, const JournalEntry* own);
  Step finish(Request& request, const std::string& reply, uint64_t effectId, bool changed, const std::string& note,
              bool durable = false);
  // The journal refused "started": another message with the serial went
  // ahead, or the entry went to another process.
  Step serialTaken(Request& request);
  Step lostEntry(Request& request, uint64_t effectId);
  // finish() without waiting: the reply is handed on once "done" is
  // committed; a "done" not taken at once is finished on the delivery's own
  // thread, as finish() does.
  Settlement finishLater(Request& request, const std::string& reply, uint64_t effectId, bool changed, bool durable);
  // Runs first (when given), then decides again until a step answers; a
  // journal that cannot be read is waited for.
  Settlement workOut(Request& request, std::function<Step(Request&)> first);
  // Waits until the journal writes again; false when the service stops.
  bool holdForJournal();
  // Waits while the trading-server session is down; false when the service
  // stops.
  bool holdForSession();
  // Whether a call since `losses` was counted met a lost session (or the
  // session is down now): what it answered says nothing of the request.
  bool sessionLostSince(uint64_t losses) const;
  Settlement answer(const Request& request, const std::string& reply);
  // The entry's stored reply with the delivery's passwords put back; nothing
  // when the delivery is not the text the entry was recorded for.
  std::optional<std::string> storedReply(const Request& request, const JournalEntry& entry) const;
  void takeOver(Request& request, const JournalEntry* own);

  Routes routes_;
  RequestJournal& journal_;
  InFlight& inFlight_;
  Settings settings_;
  // Shared with the writer's callbacks, which may outlive this.
  std::shared_ptr<UnwrittenDones> unwritten_;
};

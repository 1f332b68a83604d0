#include "bus/RequestProcessor.h"

// A request that may have been carried out before: what the trading server
// shows of an earlier attempt, an entry settled by another process, a serial
// taken by another request.
#include <optional>

#include "bus/RequestInHand.h"
#include "manager/ResultCode.h"
#include "support/PasswordMask.h"

using namespace requestlines;

RequestProcessor::Step RequestProcessor::checkThenCarryOut(Request& r, const JournalEntry* subject,
                                                           const JournalEntry* own) {
  takeOver(r, own);
  EarlierAttempt attempt;
  attempt.kind = r.route.kind;
  if (subject) {
    if (subject->planned) attempt.planned = &*subject->planned;
    attempt.sinceMs = subject->startedAt ? subject->startedAt : subject->receivedAt;
  } else {
    attempt.sinceMs = r.delivery.timestampMs;
  }
  const std::string subjectId = subject ? subject->messageId : r.id();
  if (attempt.sinceMs == 0) return answerInDoubt(r, "the broker did not say when it took the request", own);
  const std::string kind = kindName(r.route.kind);
  attempt.claimed = [&](uint64_t effectId) { return journal_.claimed(kind, effectId, r.id(), subjectId); };
  const uint64_t login = loginOf(r.root);
  attempt.rivals = [&] { return journal_.rivals(kind, login, attempt.planned, r.id(), subjectId); };
  EarlierChange earlier;
  for (;;) {
    if (!holdForSession()) return Settlement::leave();
    const uint64_t losses = routes_.manager.Session().losses();
    try {
      earlier = routes_.manager.FindEarlierChange(r.root, attempt);
    } catch (const std::exception& e) {
      return answerInDoubt(r, std::string("the check failed: ") + e.what(), own);
    }
    // A lookup that met a lost session may read as "not there": checked
    // again from the start once the session is back.
    if (!sessionLostSince(losses)) break;
  }
  switch (earlier.found) {
    case EarlierChange::Found::Yes:
      tell("destURI #%s In doubt %s: found on the trading server (%s), not carried out again\n", r.queue(), r.id(),
           earlier.why);
      return finish(r, earlier.reply, earlier.effectId, false, "found: " + earlier.why);
    case EarlierChange::Found::No:
      if (r.unanswered)
        return answerInDoubt(r, "not on the trading server yet, but it may still be made: " + earlier.why, own);
      // Another message with its serial that was cut short: carrying this
      // one out could make the change twice when that one comes again.
      if (subject && subject->messageId != r.id() && subject->state != JournalState::Resolved)
        return answerInDoubt(
            r, "its serial's request " + subject->messageId + " was cut short and is not on the trading server", own);
      tell("destURI #%s In doubt %s: not on the trading server (%s), carried out\n", r.queue(), r.id(), earlier.why);
      journal_.note(r.queue(), r.id(), "not found: " + earlier.why);
      return carryOut(r, own);
    case EarlierChange::Found::Unknown:
      break;
  }
  return answerInDoubt(r, earlier.why, own);
}

RequestProcessor::Step RequestProcessor::lostEntry(Request& r, uint64_t effectId) {
  // Another process settled the entry meanwhile (it waited for this one,
  // then answered it in doubt): its answer stands, and this process sends
  // nothing that could contradict it.
  const std::string made = effectId ? " (this process made " + std::to_string(effectId) + ")" : std::string();
  tell("destURI #%s Journal %s: settled by another process meanwhile, its answer stands%s\n", r.queue(), r.id(), made);
  journal_.note(r.queue(), r.id(), "settled elsewhere first" + made);
  const std::optional<JournalEntry> entry = journal_.find(r.queue(), r.id());
  if (entry && entry->answered() && !entry->reply.empty()) {
    if (const std::optional<std::string> reply = storedReply(r, *entry)) return answer(r, *reply);
  }
  // Still in another's hands: decided again, like any delivery (its check
  // finds this process's change on the server).
  return std::nullopt;
}

RequestProcessor::Step RequestProcessor::serialTaken(Request& r) {
  const std::optional<JournalEntry> own = journal_.find(r.queue(), r.id());
  const bool stillOurs = own && own->owner == journal_.owner() && !own->answered();
  const std::optional<JournalEntry> sibling =
      r.serial.empty() ? std::nullopt : journal_.findSerial(r.queue(), r.serial, r.id());
  // Not the serial guard (the entry went to another process): decide again.
  if (!stillOurs || !sibling || !settings_.retrySafeSerials) return std::nullopt;
  if (sibling->answered() && sibling->state != JournalState::Resolved) {
    tell("destURI #%s Serial %s: answered already, reply sent again (%s)\n", r.queue(), r.serial, sibling->messageId);
    if (!sameDigest(sibling->digest, r.digest, r.delivery.text))
      return finish(r, replyWithCode(r.route.kind, r.root, replycode::SerialReused), 0, false,
                    "serial used by " + sibling->messageId);
    return finish(r, restorePasswords(sibling->reply, r.root), sibling->dealId, false,
                  "serial of " + sibling->messageId);
  }
  const OwnerState siblingOwner = journal_.ownerState(sibling->owner);
  if (siblingOwner == OwnerState::Alive ||
      (siblingOwner == OwnerState::CutOff && sibling->state == JournalState::Started)) {
    if (!inFlight_.pause(std::chrono::milliseconds(200))) return Settlement::leave();
    return std::nullopt;  // waited for: decided again
  }
  return answerInDoubt(r, "its serial was taken by " + sibling->messageId + ", which did not finish", &*own);
}

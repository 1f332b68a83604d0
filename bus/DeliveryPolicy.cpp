#include "bus/DeliveryPolicy.h"

namespace {

DeliveryDecision decide(DeliveryAction action, const JournalEntry* subject = nullptr) {
  return DeliveryDecision{action, subject};
}

// An entry not answered yet: whether its attempt may have changed the server.
DeliveryDecision unanswered(const JournalEntry& e, OwnerState owner, int attempts) {
  if (owner == OwnerState::Alive) return decide(DeliveryAction::AwaitOwner, &e);
  // Cut off inside its change: it may still make it, so it is waited for
  // until its calls must have ended. Before "started" it can start nothing
  // any more (its lease is too old, and a takeover ends its ownership).
  if (owner == OwnerState::CutOff && e.state == JournalState::Started) return decide(DeliveryAction::AwaitOwner, &e);
  if (e.state != JournalState::Received && owner != OwnerState::ThisProcess && attempts >= kParkAfterAttempts)
    return decide(DeliveryAction::Park, &e);
  // Only "started" is written before a change: without it nothing was done.
  if (e.state == JournalState::Received) {
    return owner == OwnerState::Elsewhere ? decide(DeliveryAction::CheckThenCarryOut)
                                          : decide(DeliveryAction::CarryOut);
  }
  return decide(DeliveryAction::Resolve, &e);
}

}  // namespace

DeliveryDecision decideDelivery(const DeliveryFacts& f) {
  if (f.entry) {
    const JournalEntry& e = *f.entry;
    if (e.answered()) {
      if (e.confirmedAt != 0 && e.confirmedCorrelationId == f.correlationId)
        return decide(DeliveryAction::AcknowledgeOnly, &e);
      return decide(DeliveryAction::Replay, &e);
    }
    // Only received (nothing done for it yet): its serial decides first.
    if (e.state != JournalState::Received || f.entryOwner == OwnerState::Alive || !f.serialEntry)
      return unanswered(e, f.entryOwner, f.attempts);
  }
  if (f.serialEntry) {
    const JournalEntry& s = *f.serialEntry;
    if (!f.sameBody) return decide(DeliveryAction::RefuseSerial, &s);
    // Resolved by an operator: the trading server tells again what became
    // of it, so that a resend is neither refused forever nor done twice.
    if (s.state == JournalState::Resolved) return decide(DeliveryAction::Resolve, &s);
    if (s.answered()) return decide(DeliveryAction::ReplaySerial, &s);
    // The earlier request with this serial is not answered: its attempt
    // decides, as it would for a delivery of that request.
    return unanswered(s, f.serialOwner, 0);
  }
  return f.redelivered ? decide(DeliveryAction::CheckThenCarryOut) : decide(DeliveryAction::CarryOut);
}

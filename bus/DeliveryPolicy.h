#pragma once
// What to do with one delivery of a request, from what the journal knows of
// it: a small decision without I/O, so that every rule is tested on its own.
#include "bus/JournalEntry.h"
#include "bus/ProcessOwner.h"

enum class DeliveryAction {
  CarryOut,           // new: carry it out
  CheckThenCarryOut,  // redelivered, never journaled: ask the trading server first
  Resolve,            // an attempt ended inside its call: ask the trading server with its record
  AwaitOwner,         // another live process has it in hand: wait, then decide again
  Replay,             // answered: send the stored reply again, then acknowledge
  AcknowledgeOnly,    // its reply was confirmed with this correlation id: acknowledge
  ReplaySerial,       // its serial was answered for an identical request: that reply
  RefuseSerial,       // its serial was used by a different request: refuse
  Park,               // its handling began in kParkAfterAttempts processes that each died: answer in doubt
};

// A request whose handling began in this many processes, each of which
// ended before it was done, is not tried again: it is taken to be what
// ends them.
constexpr int kParkAfterAttempts = 3;

struct DeliveryFacts {
  bool redelivered = false;
  std::string correlationId;
  // The journal's entry for this message, with the state of its owner.
  const JournalEntry* entry = nullptr;
  OwnerState entryOwner = OwnerState::Gone;
  // How many processes recorded "started" for the entry.
  int attempts = 0;
  // With retry-safe serials, for a message with no entry or one only
  // received: the newest other entry with this serial.
  const JournalEntry* serialEntry = nullptr;
  OwnerState serialOwner = OwnerState::Gone;
  bool sameBody = false;  // the serial entry's request text is this one's
};

struct DeliveryDecision {
  DeliveryAction action = DeliveryAction::CarryOut;
  // Replay, ReplaySerial, Resolve and AwaitOwner act on this entry.
  const JournalEntry* subject = nullptr;
};

DeliveryDecision decideDelivery(const DeliveryFacts& facts);

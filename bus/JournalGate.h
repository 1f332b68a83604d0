#pragma once
// The bus's side of an operation: the reply it builds is captured instead of
// sent, and its change is recorded as started in the journal, on disk,
// before the trading server is called.
#include <string>

#include "bus/RequestJournal.h"
#include "manager/ChangeGate.h"
#include "manager/ReplySender.h"
#include "manager/ResultCode.h"

class CapturedReply final : public ReplySender {
 public:
  void send(std::string text) override { text_ = std::move(text); }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

class JournalGate final : public ChangeGate {
 public:
  // serialGuard: the request's retry-safe serial, when serials are checked.
  JournalGate(RequestJournal& journal, std::string queue, std::string messageId, std::string serialGuard)
      : journal_(journal),
        queue_(std::move(queue)),
        messageId_(std::move(messageId)),
        serialGuard_(std::move(serialGuard)) {}

  bool beforeChange(const PlannedChange& change) override {
    asked_ = true;
    outcome_ = journal_.started(queue_, messageId_, change, serialGuard_);
    // Recorded, but the lease may have run out meanwhile (a stalled sync, a
    // frozen process): the call is not made, and the entry, started with
    // nothing done, is settled again once the lease is renewed.
    if (outcome_ == JournalWrite::Recorded && !journal_.leaseFresh()) {
      stale_ = true;
      outcome_ = JournalWrite::Failed;
    }
    return outcome_ == JournalWrite::Recorded;
  }
  void afterChange(MTAPIRES result, uint64_t effectId) override {
    changed_ = replycode::requestDone(result) || result == mtret::RequestDone;
    effectId_ = changed_ ? effectId : 0;
    noAnswer_ = mtret::noAnswer(result);
  }

  // The operation reached its change (and the journal was asked to record it).
  bool asked() const { return asked_; }
  // How recording it went; the change was made only when Recorded.
  JournalWrite outcome() const { return outcome_; }
  bool recorded() const { return asked_ && outcome_ == JournalWrite::Recorded; }
  // The trading server was called to change something, and said it did.
  bool changed() const { return changed_; }
  uint64_t effectId() const { return effectId_; }
  // The server's answer does not say whether the change was made.
  bool noAnswer() const { return noAnswer_; }
  // "started" was recorded, then the call held back for a stale lease.
  bool heldForLease() const { return stale_; }

 private:
  RequestJournal& journal_;
  std::string queue_;
  std::string messageId_;
  std::string serialGuard_;
  bool asked_ = false;
  JournalWrite outcome_ = JournalWrite::Refused;
  bool changed_ = false;
  bool noAnswer_ = false;
  bool stale_ = false;
  uint64_t effectId_ = 0;
};

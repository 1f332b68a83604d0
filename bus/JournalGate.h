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
  JournalGate(RequestJournal& journal, std::string queue, std::string messageId)
      : journal_(journal), queue_(std::move(queue)), messageId_(std::move(messageId)) {}

  bool beforeChange(const PlannedChange& change) override {
    asked_ = true;
    return journal_.started(queue_, messageId_, change);
  }
  void afterChange(MTAPIRES result, uint64_t dealId) override {
    changed_ = replycode::requestDone(result) || result == mtret::RequestDone;
    dealId_ = changed_ ? dealId : 0;
  }

  // The operation reached its change (and the journal was asked to record it).
  bool asked() const { return asked_; }
  // The trading server was called to change something, and said it did.
  bool changed() const { return changed_; }
  uint64_t dealId() const { return dealId_; }

 private:
  RequestJournal& journal_;
  std::string queue_;
  std::string messageId_;
  bool asked_ = false;
  bool changed_ = false;
  uint64_t dealId_ = 0;
};

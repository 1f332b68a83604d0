#pragma once
// What an operation tells before and after the one trading-server call that
// changes something (posting a deal, adding or saving an account, setting a
// password). The bus records it durably, so that a process that dies inside
// the call leaves a trace the next start can resolve.
#include <cstdint>
#include <string>

#include "manager/ResultCodes.h"

// The change an operation is about to make.
struct PlannedChange {
  enum class Kind { CreateAccount, UpdateAccount, SetPassword, PostDeal };
  Kind kind = Kind::PostDeal;
  uint64_t login = 0;
  // PostDeal: the deal action; SetPassword: the password kind.
  uint32_t action = 0;
  // PostDeal: the amount and comment that go to the server.
  double amount = 0.0;
  std::string comment;
  // Making the change again is harmless (an account saved with the same
  // values, a password set without verification): an attempt cut short is
  // resolved by carrying it out again whatever was recorded, so its record
  // need not reach the disk before the call.
  bool redoIsHarmless = false;
};

class ChangeGate {
 public:
  // False when the change must not be made (it could not be recorded): the
  // operation then replies with replycode::NotRecorded and calls nothing.
  virtual bool beforeChange(const PlannedChange& change) = 0;
  // The call's result; dealId is the new deal's id for a posted deal, else 0.
  virtual void afterChange(MTAPIRES result, uint64_t dealId) = 0;

 protected:
  ~ChangeGate() = default;
};

// No gate (tests, benchmarks): every change may go ahead.
inline bool permitChange(ChangeGate* gate, const PlannedChange& change) {
  return gate == nullptr || gate->beforeChange(change);
}
inline void reportChange(ChangeGate* gate, MTAPIRES result, uint64_t dealId = 0) {
  if (gate != nullptr) gate->afterChange(result, dealId);
}

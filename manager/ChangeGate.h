#pragma once
// What an operation tells before and after the one trading-server call that
// changes something (posting a deal, adding or saving an account, setting a
// password). The bus records it durably, so that a process that dies inside
// the call leaves a trace the next start can resolve.
#include <cstdint>
#include <map>
#include <string>

#include "manager/ResultCodes.h"

// The change an operation is about to make, with what the in-doubt check
// needs to tell afterwards whether it was made. Never a password.
struct PlannedChange {
  enum class Kind { CreateAccount, UpdateAccount, SetPassword, PostDeal };
  Kind kind = Kind::PostDeal;
  uint64_t login = 0;
  // PostDeal: the deal action; SetPassword: the password kind.
  uint32_t action = 0;
  // PostDeal: the amount and comment that go to the server.
  double amount = 0.0;
  std::string comment;
  // CreateAccount: name, group and e-mail of the new account. UpdateAccount:
  // every attribute the save writes, and in `before` the same attributes as
  // the server had them when the change began.
  std::map<std::string, std::string> values;
  std::map<std::string, std::string> before;
  // SetPassword: when the server last changed that password before this
  // change began (0: it cannot tell).
  int64_t passwordChangedMs = 0;
  // When the change began on the trading server's clock, as far as this
  // side can tell it (0: not known).
  int64_t serverTimeMs = 0;
};

class ChangeGate {
 public:
  // False when the change must not be made (it could not be recorded): the
  // operation then replies with replycode::NotRecorded and calls nothing.
  virtual bool beforeChange(const PlannedChange& change) = 0;
  // The call's result; effectId is the new deal's id for a posted deal, the
  // new account's login for a created account, else 0.
  virtual void afterChange(MTAPIRES result, uint64_t effectId) = 0;

 protected:
  ~ChangeGate() = default;
};

// No gate (tests, benchmarks): every change may go ahead.
inline bool permitChange(ChangeGate* gate, const PlannedChange& change) {
  return gate == nullptr || gate->beforeChange(change);
}
inline void reportChange(ChangeGate* gate, MTAPIRES result, uint64_t effectId = 0) {
  if (gate != nullptr) gate->afterChange(result, effectId);
}

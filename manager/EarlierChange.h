#pragma once
// What the trading server shows of a change that an earlier attempt at a
// request may have made: the in-doubt check run before a request that may
// have been carried out already is carried out (again).
#include <cstdint>
#include <functional>
#include <string>

#include "manager/ChangeGate.h"
#include "messages/RequestKind.h"

struct EarlierChange {
  enum class Found {
    Yes,     // the change is there: `reply` is what the request gets
    No,      // nothing of it is there: carry it out
    Unknown  // cannot be told: do not carry it out
  };
  Found found = Found::Unknown;
  std::string reply;
  // The deal (balance) or account login (create) the request settled on.
  uint64_t effectId = 0;
  std::string why;  // one line for the daily log and the journal's history
};

// What is known of the earlier attempt.
struct EarlierAttempt {
  RequestKind kind = RequestKind::Trade;
  // The change it recorded right before its call; null when no record of it
  // exists (a request this journal never saw).
  const PlannedChange* planned = nullptr;
  // No change of it can be older than this, on this host's clock (ms since
  // the epoch); planned->serverTimeMs, when set, is the better bound.
  int64_t sinceMs = 0;
  // True for a deal id (balance) or login (create) that another request of
  // the journal settled on.
  std::function<bool(uint64_t effectId)> claimed;
  // How many other requests of the journal may have made the same change
  // and are not settled (in hand, cut short, in doubt): any candidate could
  // be theirs. Asked after the server was looked up, so that a rival's change
  // seen there is also seen here (its record precedes its call).
  std::function<int()> rivals;
};

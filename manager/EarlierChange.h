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
    No,      // nothing of it is there (or redoing it is harmless): carry it out
    Unknown  // cannot be told: do not carry it out
  };
  Found found = Found::Unknown;
  std::string reply;
  uint64_t dealId = 0;
  std::string why;  // one line for the daily log
};

// What is known of the earlier attempt.
struct EarlierAttempt {
  RequestKind kind = RequestKind::Trade;
  // The change it recorded right before its call; null when no record of it
  // exists (a request this journal never saw).
  const PlannedChange* planned = nullptr;
  // No change of it can be older than this (ms since the epoch).
  int64_t sinceMs = 0;
  // True for a deal id that another request is known to have made.
  std::function<bool(uint64_t dealId)> claimed;
};

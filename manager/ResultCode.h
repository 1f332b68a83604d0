#pragma once
// Reply codes made from Manager API results.
#include <cstdint>

#include "manager/ResultCodes.h"

namespace replycode {
constexpr int32_t Success = 200;
constexpr int32_t NoManager = -1;
constexpr int32_t WithdrawalRefused = -1000;

// A failed Manager API result as a reply code: the result negated. Computed
// in 64 bits so that no result value overflows.
constexpr int32_t negated(MTAPIRES result) {
  return static_cast<int32_t>(-static_cast<int64_t>(result));
}

// Request operations take 0 and 1 as success.
constexpr bool requestDone(MTAPIRES result) { return result == mtret::Ok || result == mtret::OkNone; }
}  // namespace replycode

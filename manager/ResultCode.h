#pragma once
// Reply codes made from Manager API results, and the service's own.
#include <cstdint>

#include "manager/ResultCodes.h"

namespace replycode {
constexpr int32_t Success = 200;
constexpr int32_t NoManager = -1;
constexpr int32_t WithdrawalRefused = -1000;
// Whether an earlier attempt changed the trading server cannot be told (the
// process handling it ended inside the call and the server cannot be asked):
// nothing is carried out now; an operator reconciles it.
constexpr int32_t InDoubt = -1001;
// A retry-safe serial already used on this queue by a different request.
constexpr int32_t SerialReused = -1002;
// The request journal could not record the request before its change:
// nothing was carried out.
constexpr int32_t NotRecorded = -1003;

// A failed Manager API result as a reply code: the result negated. Computed
// in 64 bits so that no result value overflows.
constexpr int32_t negated(MTAPIRES result) { return static_cast<int32_t>(-static_cast<int64_t>(result)); }

// Request operations take 0 and 1 as success.
constexpr bool requestDone(MTAPIRES result) { return result == mtret::Ok || result == mtret::OkNone; }
}  // namespace replycode

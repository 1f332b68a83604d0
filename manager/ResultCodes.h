#pragma once
// Result codes of the Manager API. 0 is success everywhere; request
// operations also take 1, and the balance post also takes 10009.
#include <cstdint>

using MTAPIRES = uint32_t;

namespace mtret {
constexpr MTAPIRES Ok = 0;                 // done
constexpr MTAPIRES OkNone = 1;             // done, nothing to do
constexpr MTAPIRES Error = 2;              // generic error
constexpr MTAPIRES InvalidParams = 3;      // invalid parameters
constexpr MTAPIRES NotFound = 13;          // not found
constexpr MTAPIRES Network = 1100;         // server address unreachable or wrong
constexpr MTAPIRES ManagerUnknown = 1101;  // no such manager login
constexpr MTAPIRES AuthFailed = 1102;      // wrong manager password
constexpr MTAPIRES NotConnected = 1103;    // operation before a session was opened
constexpr MTAPIRES Timeout = 1104;         // the server did not answer in time
constexpr MTAPIRES AccountExists = 3001;   // account login already taken
constexpr MTAPIRES WrongPassword = 3006;   // account password does not match
constexpr MTAPIRES RequestDone = 10009;    // trade request done

// Results that mean the session is gone (the server away, the network
// down).
constexpr bool sessionLost(MTAPIRES result) { return result == Network || result == NotConnected; }
// Results that do not say whether the server carried a change out: the
// request did not reach it, or its answer did not come back.
constexpr bool noAnswer(MTAPIRES result) { return result == Network || result == NotConnected || result == Timeout; }
}  // namespace mtret

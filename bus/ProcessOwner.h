#pragma once
// Which process handles a journal entry, and whether it still lives.
//
// An owner is named "host/pid/start/nonce" (start: the process's start time
// in clock ticks since boot; nonce: random, so that two containers with the
// same host name and pid never share a name). Whether it lives is told by
// its lease in the journal, renewed every second: a fresh lease is a live
// owner whatever its host name or PID namespace. Only a lease taken in this
// same place (same boot, same PID namespace) is also checked against the
// process table, so that a process that died is known gone at once.
#include <cstdint>
#include <optional>
#include <string>

// This process's name in the journal.
const std::string& thisProcessOwner();
// Where this process runs: the boot id and the PID namespace.
const std::string& thisProcessPlace();

enum class OwnerState {
  ThisProcess,
  Alive,      // another live process
  Gone,       // it ended (or the entry names no process)
  Elsewhere,  // an owner of an older journal on another host: cannot be told
  // Its lease ran out but it may live, cut off: a trading-server call it
  // began before may still be under way, until kLeaseExpiryMs plus
  // kLongestCallMs after its last renewal.
  CutOff
};

struct OwnerLease {
  std::string place;
  int64_t renewedAtMs = 0;
};

// A lease not renewed for this long means its owner is gone or cut off.
constexpr int64_t kLeaseExpiryMs = 10000;
constexpr int64_t kLeaseRenewMs = 1000;
// The longest a trading-server call can take (the Manager API's time-out).
// A process begins no change once its lease is older than kLeaseExpiryMs,
// so a change it began ends by expiry plus this: the one assumption is that
// its calls end within their time-out.
constexpr int64_t kLongestCallMs = 30000;

// From the owner's lease (none: it stopped cleanly, or the name is an older
// "host/pid/start" one, told from the process table).
OwnerState ownerState(const std::string& owner, const std::optional<OwnerLease>& lease, int64_t nowMs);

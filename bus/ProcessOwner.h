#pragma once
// Which process handles a journal entry: "host/pid/start", where start is
// the process's start time in clock ticks since boot, so that a reused pid
// is not taken for the process that died.
#include <string>

// This process's name in the journal.
const std::string& thisProcessOwner();

enum class OwnerState {
  ThisProcess,
  Alive,     // another live process on this host
  Gone,      // it ended (or the entry names no process)
  Elsewhere  // a process of another host: whether it lives cannot be told
};

OwnerState ownerState(const std::string& owner);

#include "bus/JournalEntry.h"

namespace {
constexpr const char* kNames[] = {"received", "started", "done", "confirmed", "acknowledged", "in_doubt", "resolved"};
}

const char* stateName(JournalState state) { return kNames[static_cast<int>(state)]; }

std::optional<JournalState> stateFromName(const std::string& name) {
  for (int i = 0; i < static_cast<int>(sizeof kNames / sizeof kNames[0]); ++i) {
    if (name == kNames[i]) return static_cast<JournalState>(i);
  }
  return std::nullopt;
}

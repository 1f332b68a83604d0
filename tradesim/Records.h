#pragma once
// Plain records of the trading-server store. Texts are UTF-8.
#include <cstdint>
#include <optional>
#include <string>

#include "tradesim/Money.h"

namespace tradesim {

struct AccountRecord {
  uint64_t login = 0;
  std::string name, group, country, city, zip, address, phone, email, id, comment, leadSource;
  uint64_t agent = 0;
  uint64_t rights = 0;
  uint32_t leverage = 0;
  Money balance = 0;
  Money credit = 0;
  // Milliseconds since the epoch, set by the store: at registration, and
  // each password's last change (the registration time until then).
  int64_t registeredMs = 0;
  int64_t masterChangedMs = 0;
  int64_t investorChangedMs = 0;
};

// An account's times alone, as the registration lookups report them.
struct AccountTimesRecord {
  uint64_t login = 0;
  int64_t registeredMs = 0;
  int64_t masterChangedMs = 0;
  int64_t investorChangedMs = 0;
};

struct DealRecord {
  uint64_t id = 0;
  uint64_t login = 0;
  uint32_t action = 0;
  Money amount = 0;
  std::string comment;
  int64_t timeMs = 0;    // milliseconds since the epoch
  uint64_t manager = 0;  // the manager login whose session posted it; 0: the server's own console
};

enum class DealEventKind { Add, Update, Delete };

struct DealEvent {
  int64_t seq = 0;
  DealEventKind kind = DealEventKind::Add;
  DealRecord deal;  // the deal as it stood after the change (before, for a delete)
};

// Whether the server runs, as the command's "server stop|start" leaves it.
struct ServerState {
  bool running = true;
  // Counted up by every start: a session opened in another run is gone,
  // even when a stop and a start came between two looks at the state.
  int64_t run = 1;
};

struct FaultRecord {
  std::string operation;
  std::optional<uint32_t> code;       // returned without effect when set
  std::optional<uint32_t> codeAfter;  // returned in place of the result, after acting, when set
  uint32_t delayMs = 0;               // slept before acting
  uint32_t delayAfterMs = 0;          // slept after acting, before returning
  uint32_t remaining = 1;             // calls still affected
};

}  // namespace tradesim

#pragma once
// One request as the request journal knows it, and the schema it is kept in
// (shared with the reconciliation tool).
#include <cstdint>
#include <optional>
#include <string>

#include "manager/ChangeGate.h"

// The life of a request: received → started (right before the call that
// changes the trading server) → done (reply and deal stored) → confirmed
// (the broker took the reply) → acknowledged. A request whose outcome could
// not be told is in_doubt until an operator marks it resolved; its reply's
// confirmation and acknowledgement are then only timestamps.
enum class JournalState { Received, Started, Done, Confirmed, Acknowledged, InDoubt, Resolved };

const char* stateName(JournalState state);
std::optional<JournalState> stateFromName(const std::string& name);

struct JournalEntry {
  int64_t id = 0;
  std::string queue;
  std::string messageId;
  std::string correlationId;
  std::string serial;
  std::string kind;    // "create", "update", "password", "trade"
  std::string digest;  // SHA-256 of the request text, hex
  uint64_t login = 0;
  double amount = 0.0;
  JournalState state = JournalState::Received;
  std::optional<PlannedChange> planned;
  std::string reply;
  uint64_t dealId = 0;  // the deal a trade settled on, or the login a create made
  bool changed = false;
  std::string owner;
  int64_t receivedAt = 0;  // ms since the epoch; 0: not yet
  int64_t startedAt = 0;
  int64_t doneAt = 0;
  int64_t confirmedAt = 0;
  int64_t acknowledgedAt = 0;
  std::string confirmedCorrelationId;  // what the confirmed reply carried
  std::string note;

  // The reply is stored (done, confirmed, acknowledged, in doubt, resolved).
  bool answered() const { return doneAt != 0; }
};

namespace journalschema {
// 2: the leases table. 3: stored replies keep no password (masked). 4: a
// lease marks the process that serves the queues. An older journal is
// brought up to date on open.
constexpr int kVersion = 4;
constexpr const char* kCreate = R"sql(
CREATE TABLE IF NOT EXISTS requests (
  id INTEGER PRIMARY KEY,
  queue TEXT NOT NULL,
  message_id TEXT NOT NULL,
  correlation_id TEXT NOT NULL DEFAULT '',
  serial TEXT NOT NULL DEFAULT '',
  kind TEXT NOT NULL,
  digest TEXT NOT NULL DEFAULT '',
  login INTEGER NOT NULL DEFAULT 0,
  amount REAL NOT NULL DEFAULT 0,
  state TEXT NOT NULL,
  plan TEXT,
  reply TEXT,
  deal_id INTEGER NOT NULL DEFAULT 0,
  changed INTEGER NOT NULL DEFAULT 0,
  owner TEXT NOT NULL,
  received_at INTEGER NOT NULL,
  started_at INTEGER NOT NULL DEFAULT 0,
  done_at INTEGER NOT NULL DEFAULT 0,
  confirmed_at INTEGER NOT NULL DEFAULT 0,
  acknowledged_at INTEGER NOT NULL DEFAULT 0,
  confirmed_correlation_id TEXT NOT NULL DEFAULT '',
  note TEXT NOT NULL DEFAULT '',
  UNIQUE (queue, message_id));
CREATE INDEX IF NOT EXISTS requests_by_serial ON requests(queue, serial);
CREATE INDEX IF NOT EXISTS requests_by_state ON requests(state);
CREATE INDEX IF NOT EXISTS requests_by_deal ON requests(deal_id);
CREATE INDEX IF NOT EXISTS requests_by_time ON requests(received_at);
CREATE TABLE IF NOT EXISTS history (
  request_id INTEGER NOT NULL,
  at INTEGER NOT NULL,
  state TEXT NOT NULL,
  owner TEXT NOT NULL,
  note TEXT NOT NULL DEFAULT '');
CREATE INDEX IF NOT EXISTS history_by_request ON history(request_id);
CREATE INDEX IF NOT EXISTS requests_by_effect ON requests(kind, deal_id);
CREATE TABLE IF NOT EXISTS leases (
  owner TEXT PRIMARY KEY,
  place TEXT NOT NULL,
  renewed_at INTEGER NOT NULL,
  active INTEGER NOT NULL DEFAULT 0);
)sql";
// Every column of requests, in the order readEntry expects.
constexpr const char* kColumns =
    "id, queue, message_id, correlation_id, serial, kind, digest, login, amount, state, plan, reply, "
    "deal_id, changed, owner, received_at, started_at, done_at, confirmed_at, acknowledged_at, "
    "confirmed_correlation_id, note";
}  // namespace journalschema

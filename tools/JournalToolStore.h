#pragma once
// The request journal as mqbridge-journal reads it, in an SQLite file or a
// PostgreSQL database alike: opened only when it exists, read without
// leaving a trace, written only to resolve a request.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bus/ProcessOwner.h"
#include "support/SqlDb.h"
#include "tools/JournalToolOpen.h"

// A row of requests as stored (the state as text: the tool shows what is
// there, even a state it does not know).
struct JournalRow {
  int64_t id = 0;
  std::string queue, messageId, correlationId, serial, kind, digest;
  uint64_t login = 0;
  double amount = 0.0;
  std::string state, plan, reply;
  uint64_t dealId = 0;
  bool changed = false;
  std::string owner;
  int64_t receivedAt = 0, startedAt = 0, doneAt = 0, confirmedAt = 0, acknowledgedAt = 0;
  std::string confirmedCorrelationId, note;
};

struct JournalHistoryLine {
  int64_t at = 0;
  std::string state, owner, note;
};

class JournalStore {
 public:
  enum class Access { Read, Write };
  // location: a file's path or a postgresql:// URI. Throws JournalToolError
  // when there is no journal of this version there, it cannot be reached,
  // or it stays locked longer than busyTimeoutMs.
  JournalStore(const std::string& location, Access access, int busyTimeoutMs);

  // Those an operator must look at: in doubt, started, done but unconfirmed.
  std::vector<JournalRow> toReconcile();
  // Every request received at or after receivedSinceMs (0: all).
  std::vector<JournalRow> all(int64_t receivedSinceMs);
  // id: a row id, else a message id. Throws JournalToolError when none or
  // several requests match.
  JournalRow find(const std::string& id);
  std::vector<JournalHistoryLine> history(int64_t requestId);
  // The owner's lease; none in a journal without leases.
  std::optional<OwnerLease> lease(const std::string& owner);
  // in_doubt → resolved, with a history line by "operator", in one
  // transaction that changes the row only while it is still in doubt;
  // throws JournalToolError naming the state of a request in any other.
  JournalRow resolve(const std::string& id, const std::string& note);
  // Now on the clock the journal's times and leases are written on (the
  // database server's for PostgreSQL).
  int64_t nowMs();

  // The location as messages name it: without a password.
  const std::string& shown() const { return shown_; }

 private:
  JournalRow findRow(const std::string& id);
  JournalRow resolveOnce(const std::string& id, const std::string& note);
  std::vector<JournalRow> rows(const std::string& where, int64_t parameter);

  std::string shown_;
  std::unique_ptr<sqldb::Connection> db_;
};

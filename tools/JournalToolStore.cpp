#include "tools/JournalToolStore.h"

#include "bus/JournalEntry.h"

using sqldb::Statement;

namespace {

// A race lost to the service (PostgreSQL only) is run again; it does not
// go on for ever.
constexpr int kResolveAttempts = 5;

JournalRow readRow(const Statement& q) {
  JournalRow r;
  r.id = q.int64(0);
  r.queue = q.text(1);
  r.messageId = q.text(2);
  r.correlationId = q.text(3);
  r.serial = q.text(4);
  r.kind = q.text(5);
  r.digest = q.text(6);
  r.login = q.uint64(7);
  r.amount = q.real(8);
  r.state = q.text(9);
  r.plan = q.text(10);
  r.reply = q.text(11);
  r.dealId = q.uint64(12);
  r.changed = q.int64(13) != 0;
  r.owner = q.text(14);
  r.receivedAt = q.int64(15);
  r.startedAt = q.int64(16);
  r.doneAt = q.int64(17);
  r.confirmedAt = q.int64(18);
  r.acknowledgedAt = q.int64(19);
  r.confirmedCorrelationId = q.text(20);
  r.note = q.text(21);
  return r;
}

const std::string kSelect = std::string("SELECT ") + journalschema::kColumns + " FROM requests ";

// Runs body; a database failure becomes the operator's one line.
template <class Body>
auto guarded(const std::string& shown, Body&& body) -> decltype(body()) {
  try {
    return body();
  } catch (const JournalToolError&) {
    throw;
  } catch (const std::exception& e) {
    failOnJournal(shown, e);
  }
}

}  // namespace

JournalStore::JournalStore(const std::string& location, Access access, int busyTimeoutMs)
    : shown_(sqldb::locationForLog(location)), db_(openToolJournal(location, access == Access::Write, busyTimeoutMs)) {}

int64_t JournalStore::nowMs() {
  return guarded(shown_, [&] { return db_->nowMs(); });
}

std::vector<JournalRow> JournalStore::rows(const std::string& where, int64_t parameter) {
  return guarded(shown_, [&] {
    Statement q(*db_, kSelect + "WHERE " + where + " ORDER BY received_at, id");
    q.bind(1, parameter);
    std::vector<JournalRow> out;
    while (q.step()) out.push_back(readRow(q));
    return out;
  });
}

std::vector<JournalRow> JournalStore::toReconcile() {
  // done is the state of a stored reply the broker has not confirmed yet.
  return rows("state IN ('in_doubt', 'started', 'done') AND received_at >= ?", 0);
}

std::vector<JournalRow> JournalStore::all(int64_t receivedSinceMs) { return rows("received_at >= ?", receivedSinceMs); }

JournalRow JournalStore::find(const std::string& id) {
  return guarded(shown_, [&] { return findRow(id); });
}

JournalRow JournalStore::findRow(const std::string& id) {
  if (id.size() <= 18 && id.find_first_not_of("0123456789") == std::string::npos) {
    Statement q(*db_, kSelect + "WHERE id = ?");
    q.bind(1, static_cast<int64_t>(std::stoll(id)));
    if (q.step()) return readRow(q);
  }
  Statement q(*db_, kSelect + "WHERE message_id = ? ORDER BY id");
  q.bind(1, id);
  std::vector<JournalRow> found;
  while (q.step()) found.push_back(readRow(q));
  if (found.empty()) throw JournalToolError("no request " + id + " in " + shown_);
  if (found.size() > 1) {
    std::string ids;
    for (const JournalRow& r : found) ids += (ids.empty() ? "" : ", ") + std::to_string(r.id);
    throw JournalToolError("message id " + id + " names " + std::to_string(found.size()) + " requests (rows " + ids +
                           "): give the row id");
  }
  return found.front();
}

std::vector<JournalHistoryLine> JournalStore::history(int64_t requestId) {
  return guarded(shown_, [&] {
    // Lines of one millisecond in the order they were written: SQLite's
    // rowid, PostgreSQL's seq (a whole batch is stamped alike there).
    const bool onServer = db_->backend() == sqldb::Backend::Postgres;
    Statement q(*db_, std::string("SELECT at, state, owner, note FROM history WHERE request_id = ? ORDER BY at, ") +
                          (onServer ? "seq" : "rowid"));
    q.bind(1, requestId);
    std::vector<JournalHistoryLine> out;
    while (q.step()) out.push_back({q.int64(0), q.text(1), q.text(2), q.text(3)});
    return out;
  });
}

std::optional<OwnerLease> JournalStore::lease(const std::string& owner) {
  return guarded(shown_, [&]() -> std::optional<OwnerLease> {
    try {
      Statement q(*db_, "SELECT place, renewed_at FROM leases WHERE owner = ?");
      q.bind(1, owner);
      if (q.step()) return OwnerLease{q.text(0), q.int64(1)};
    } catch (const std::exception& e) {
      // A journal of an older version has no leases; any other failure is
      // told, not taken for an owner without a lease (that is, gone).
      if (!missingTableOrColumn(e)) throw;
    }
    return std::nullopt;
  });
}

JournalRow JournalStore::resolve(const std::string& id, const std::string& note) {
  for (int attempt = 1;; ++attempt) {
    try {
      return resolveOnce(id, note);
    } catch (const JournalToolError&) {
      throw;
    } catch (const std::exception& e) {
      // The service changed a row this transaction read: read it again.
      if (attempt < kResolveAttempts && db_->retryable(e)) continue;
      if (db_->connectionLost(e))
        throw JournalToolError(shown_ + ": the connection to the database was lost while resolving " + id + " (" +
                               e.what() + "); whether it was resolved, show tells");
      failOnJournal(shown_, e);
    }
  }
}

JournalRow JournalStore::resolveOnce(const std::string& id, const std::string& note) {
  // SQLite: the state is read under the write lock. PostgreSQL: the update
  // is a compare-and-set on the state, so a change the service commits
  // meanwhile is seen by it.
  sqldb::Transaction write(*db_);
  JournalRow row = findRow(id);
  if (row.state != "in_doubt")
    throw JournalToolError("request " + std::to_string(row.id) + " is " + row.state +
                           ", not in_doubt: only a request in doubt can be resolved");
  Statement(*db_, "UPDATE requests SET state = 'resolved' WHERE id = ? AND state = 'in_doubt'").bind(1, row.id).run();
  if (db_->changes() != 1) {
    // Changed after it was read: say what it is now.
    const JournalRow now = findRow(std::to_string(row.id));
    throw JournalToolError("request " + std::to_string(row.id) + " is " + now.state +
                           ", not in_doubt: only a request in doubt can be resolved");
  }
  Statement(*db_, "INSERT INTO history (request_id, at, state, owner, note) VALUES (?, ?, 'resolved', 'operator', ?)")
      .bind(1, row.id)
      .bind(2, db_->nowMs())
      .bind(3, note)
      .run();
  write.commit();
  row.state = "resolved";
  return row;
}

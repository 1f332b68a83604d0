// The request journal's lookups: entries, owners' leases, and what the
// in-doubt checks ask of the other entries.
#include "bus/JournalPlan.h"
#include "bus/RequestJournal.h"

using sqldb::Statement;

namespace {

constexpr int64_t kDayMs = 24LL * 3600 * 1000;

JournalEntry readEntry(const Statement& row) {
  JournalEntry e;
  e.id = row.int64(0);
  e.queue = row.text(1);
  e.messageId = row.text(2);
  e.correlationId = row.text(3);
  e.serial = row.text(4);
  e.kind = row.text(5);
  e.digest = row.text(6);
  e.login = row.uint64(7);
  e.amount = row.real(8);
  e.state = stateFromName(row.text(9)).value_or(JournalState::Received);
  e.planned = planFrom(row.text(10));
  e.reply = row.text(11);
  e.dealId = row.uint64(12);
  e.changed = row.int64(13) != 0;
  e.owner = row.text(14);
  e.receivedAt = row.int64(15);
  e.startedAt = row.int64(16);
  e.doneAt = row.int64(17);
  e.confirmedAt = row.int64(18);
  e.acknowledgedAt = row.int64(19);
  e.confirmedCorrelationId = row.text(20);
  e.note = row.text(21);
  return e;
}

}  // namespace

template <class Read>
auto RequestJournal::read(const char* what, Read lookup) -> decltype(lookup(std::declval<sqldb::Connection&>())) {
  std::lock_guard<std::mutex> lock(readMutex_);
  for (int attempt = 1;; ++attempt) {
    try {
      return lookup(*reader_);
    } catch (const std::exception& e) {
      // A connection the server dropped (a restart) is opened again by the
      // next statement: one more try.
      if (attempt == 1 && reader_->connectionLost(e)) continue;
      throw JournalReadError(std::string(what) + ": " + e.what());
    }
  }
}

std::optional<JournalEntry> RequestJournal::find(const std::string& queue, const std::string& messageId) {
  return read("reading an entry", [&](sqldb::Connection& db) -> std::optional<JournalEntry> {
    Statement q(db,
                std::string("SELECT ") + journalschema::kColumns + " FROM requests WHERE queue = ? AND message_id = ?");
    q.bind(1, queue).bind(2, messageId);
    if (!q.step()) return std::nullopt;
    return readEntry(q);
  });
}

std::optional<JournalEntry> RequestJournal::findSerial(const std::string& queue, const std::string& serial,
                                                       const std::string& exceptMessageId) {
  const int64_t since = journalNowMs() - retentionDays_ * kDayMs;
  return read("reading an entry by serial", [&](sqldb::Connection& db) -> std::optional<JournalEntry> {
    Statement q(db, std::string("SELECT ") + journalschema::kColumns +
                        " FROM requests WHERE queue = ? AND serial = ? AND message_id <> ? "
                        "AND (received_at >= ? OR state = 'in_doubt') ORDER BY received_at DESC, id DESC LIMIT 1");
    q.bind(1, queue).bind(2, serial).bind(3, exceptMessageId).bind(4, since);
    if (!q.step()) return std::nullopt;
    return readEntry(q);
  });
}

OwnerState RequestJournal::ownerState(const std::string& owner) {
  if (owner == owner_) return OwnerState::ThisProcess;
  std::optional<OwnerLease> lease;
  int64_t now = 0;
  read("reading a lease", [&](sqldb::Connection& db) {
    Statement q(db, "SELECT place, renewed_at FROM leases WHERE owner = ?");
    q.bind(1, owner);
    lease.reset();
    if (q.step()) lease = OwnerLease{q.text(0), q.int64(1)};
    now = db.nowMs();  // the clock the lease was written on
    return 0;
  });
  return ::ownerState(owner, lease, now);
}

int RequestJournal::attempts(int64_t entryId) {
  return read("counting attempts", [&](sqldb::Connection& db) {
    Statement q(db, "SELECT count(DISTINCT owner) FROM history WHERE request_id = ? AND state = 'started'");
    q.bind(1, entryId);
    return q.step() ? static_cast<int>(q.int64(0)) : 0;
  });
}

bool RequestJournal::claimed(const std::string& kind, uint64_t effectId, const std::string& messageId,
                             const std::string& otherMessageId) {
  writer_->flush();
  return read("looking for a settled effect", [&](sqldb::Connection& db) {
    Statement q(db, "SELECT 1 FROM requests WHERE kind = ? AND deal_id = ? AND message_id NOT IN (?, ?) LIMIT 1");
    q.bind(1, kind).bind(2, effectId).bind(3, messageId).bind(4, otherMessageId);
    return q.step();
  });
}

int RequestJournal::rivals(const std::string& kind, uint64_t login, const PlannedChange* change,
                           const std::string& messageId, const std::string& otherMessageId) {
  writer_->flush();
  return read("looking for rival entries", [&](sqldb::Connection& db) {
    Statement q(db,
                "SELECT plan FROM requests WHERE kind = ? AND login = ? AND state IN ('started', 'in_doubt') "
                "AND deal_id = 0 AND message_id NOT IN (?, ?)");
    q.bind(1, kind).bind(2, login).bind(3, messageId).bind(4, otherMessageId);
    int found = 0;
    while (q.step()) {
      const std::optional<PlannedChange> plan = planFrom(q.text(0));
      // Without a plan on either side they cannot be told apart: it counts.
      if (!change || !plan || sameEffect(*plan, *change)) ++found;
    }
    return found;
  });
}

RequestJournal::Counts RequestJournal::counts() {
  return read("counting entries", [&](sqldb::Connection& db) {
    Statement q(db,
                "SELECT coalesce(sum(CASE WHEN state = 'in_doubt' THEN 0 ELSE 1 END), 0), "
                "coalesce(sum(CASE WHEN state = 'in_doubt' THEN 1 ELSE 0 END), 0) "
                "FROM requests WHERE state IN ('started', 'done', 'in_doubt')");
    Counts c;
    if (q.step()) {
      c.unconfirmed = q.uint64(0);
      c.inDoubt = q.uint64(1);
    }
    return c;
  });
}

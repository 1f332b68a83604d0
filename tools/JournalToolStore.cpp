#include "tools/JournalToolStore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "bus/JournalEntry.h"
#include "bus/RequestJournal.h"

using sqlite::Statement;

namespace {

// For a file: URI; the path itself may hold '?', '#' or '%'.
std::string uriPath(const std::string& path) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : path) {
    if (std::isalnum(c) || std::strchr("/._-~", c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

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

}  // namespace

JournalFile::JournalFile(std::string path, Access access, int busyTimeoutMs)
    : path_(std::move(path)), busyTimeoutMs_(busyTimeoutMs) {
  struct stat st {};
  if (::stat(path_.c_str(), &st) != 0) {
    if (errno == ENOENT) throw JournalToolError("no journal at " + path_);
    throw JournalToolError(path_ + ": cannot be read (" + std::strerror(errno) + ")");
  }
  if (!S_ISREG(st.st_mode)) throw JournalToolError(path_ + ": not a journal (not a regular file)");
  try {
    // A journal that no process has open has no -wal file; a reader would
    // leave one (and a -shm) behind, so such a journal is read as a plain
    // file. The service starting meanwhile writes to its own -wal, not here.
    const bool inUse = ::access((path_ + "-wal").c_str(), F_OK) == 0;
    db_ = open(sqlite::Connection::Open::ReadOnly, !inUse);
    check();
    // Checked before writing: a read-write open turns the file to WAL mode.
    if (access == Access::Write) {
      db_.reset();
      db_ = open(sqlite::Connection::Open::ReadWrite, false);
    }
  } catch (const sqlite::Error& e) {
    fail(e);
  }
}

std::unique_ptr<sqlite::Connection> JournalFile::open(sqlite::Connection::Open mode, bool immutable) {
  const std::string name = immutable ? "file:" + uriPath(path_) + "?mode=ro&immutable=1" : path_;
  auto db = std::make_unique<sqlite::Connection>(name, mode);
  sqlite3_busy_timeout(db->handle(), busyTimeoutMs_);
  return db;
}

void JournalFile::check() {
  Statement version(*db_, "PRAGMA user_version");
  const int64_t found = version.step() ? version.int64(0) : 0;
  if (found > journalschema::kVersion)
    throw JournalToolError(path_ + ": written by a newer version of the service (journal schema " +
                           std::to_string(found) + ")");
  const std::string probes[] = {kSelect + "LIMIT 0", "SELECT request_id, at, state, owner, note FROM history LIMIT 0"};
  for (const std::string& probe : probes) {
    try {
      Statement q(*db_, probe.c_str());
    } catch (const sqlite::Error& e) {
      if ((e.code() & 0xff) != SQLITE_ERROR) throw;
      throw JournalToolError(path_ + ": not a journal (no requests and history tables of the service)");
    }
  }
}

void JournalFile::fail(const sqlite::Error& e) const {
  switch (e.code() & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      throw JournalToolError(path_ + ": the journal is busy (another process holds its lock); try again");
    case SQLITE_NOTADB:
      throw JournalToolError(path_ + ": not a journal (not an SQLite database)");
    case SQLITE_READONLY:
      throw JournalToolError(path_ + ": cannot be written (" + e.what() + ")");
    default:
      throw JournalToolError(path_ + ": " + e.what());
  }
}

std::vector<JournalRow> JournalFile::rows(const std::string& where, int64_t parameter) {
  try {
    Statement q(*db_, (kSelect + "WHERE " + where + " ORDER BY received_at, id").c_str());
    q.bind(1, parameter);
    std::vector<JournalRow> out;
    while (q.step()) out.push_back(readRow(q));
    return out;
  } catch (const sqlite::Error& e) {
    fail(e);
  }
}

std::vector<JournalRow> JournalFile::toReconcile() {
  // done is the state of a stored reply the broker has not confirmed yet.
  return rows("state IN ('in_doubt', 'started', 'done') AND received_at >= ?", 0);
}

std::vector<JournalRow> JournalFile::all(int64_t receivedSinceMs) { return rows("received_at >= ?", receivedSinceMs); }

JournalRow JournalFile::find(const std::string& id) {
  try {
    if (id.size() <= 18 && id.find_first_not_of("0123456789") == std::string::npos) {
      Statement q(*db_, (kSelect + "WHERE id = ?").c_str());
      q.bind(1, static_cast<int64_t>(std::stoll(id)));
      if (q.step()) return readRow(q);
    }
    Statement q(*db_, (kSelect + "WHERE message_id = ? ORDER BY id").c_str());
    q.bind(1, id);
    std::vector<JournalRow> found;
    while (q.step()) found.push_back(readRow(q));
    if (found.empty()) throw JournalToolError("no request " + id + " in " + path_);
    if (found.size() > 1) {
      std::string ids;
      for (const JournalRow& r : found) ids += (ids.empty() ? "" : ", ") + std::to_string(r.id);
      throw JournalToolError("message id " + id + " names " + std::to_string(found.size()) + " requests (rows " + ids +
                             "): give the row id");
    }
    return found.front();
  } catch (const sqlite::Error& e) {
    fail(e);
  }
}

std::vector<JournalHistoryLine> JournalFile::history(int64_t requestId) {
  try {
    Statement q(*db_, "SELECT at, state, owner, note FROM history WHERE request_id = ? ORDER BY at, rowid");
    q.bind(1, requestId);
    std::vector<JournalHistoryLine> out;
    while (q.step()) out.push_back({q.int64(0), q.text(1), q.text(2), q.text(3)});
    return out;
  } catch (const sqlite::Error& e) {
    fail(e);
  }
}

std::optional<OwnerLease> JournalFile::lease(const std::string& owner) {
  try {
    Statement q(*db_, "SELECT place, renewed_at FROM leases WHERE owner = ?");
    q.bind(1, owner);
    if (q.step()) return OwnerLease{q.text(0), q.int64(1)};
  } catch (const sqlite::Error&) {
    // A journal of an older version has no leases.
  }
  return std::nullopt;
}

JournalRow JournalFile::resolve(const std::string& id, const std::string& note) {
  try {
    sqlite::Transaction write(*db_);  // the state is read under the write lock
    JournalRow row = find(id);
    if (row.state != "in_doubt")
      throw JournalToolError("request " + std::to_string(row.id) + " is " + row.state +
                             ", not in_doubt: only a request in doubt can be resolved");
    Statement(*db_, "UPDATE requests SET state = 'resolved' WHERE id = ? AND state = 'in_doubt'").bind(1, row.id).run();
    Statement(*db_, "INSERT INTO history (request_id, at, state, owner, note) VALUES (?, ?, 'resolved', 'operator', ?)")
        .bind(1, row.id)
        .bind(2, journalNowMs())
        .bind(3, note)
        .run();
    write.commit();
    row.state = "resolved";
    return row;
  } catch (const sqlite::Error& e) {
    fail(e);
  }
}

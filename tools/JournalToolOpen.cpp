#include "tools/JournalToolOpen.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "bus/JournalEntry.h"
#include "support/Postgres.h"
#include "support/Sqlite.h"

using sqldb::Statement;

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

std::unique_ptr<sqldb::Connection> openSqliteFile(const std::string& path, bool readOnly, bool immutable,
                                                  int busyTimeoutMs) {
  const std::string name = immutable ? "file:" + uriPath(path) + "?mode=ro&immutable=1" : path;
  auto db = sqldb::openSqlite(name, false, readOnly);
  db->exec("PRAGMA busy_timeout = " + std::to_string(busyTimeoutMs));
  return db;
}

// The schema version the journal was written with; 0 when it keeps none.
int64_t schemaVersion(sqldb::Connection& db) {
  if (db.backend() == sqldb::Backend::Sqlite) {
    Statement version(db, "PRAGMA user_version");
    return version.step() ? version.int64(0) : 0;
  }
  try {
    Statement version(db, "SELECT value FROM journal_meta WHERE name = 'version'");
    return version.step() ? std::strtoll(version.text(0).c_str(), nullptr, 10) : 0;
  } catch (const pg::Error& e) {
    if (!missingTableOrColumn(e)) throw;
    return 0;  // then the tables below tell
  }
}

void checkJournal(sqldb::Connection& db, const std::string& shown) {
  const int64_t found = schemaVersion(db);
  if (found > journalschema::kVersion)
    throw JournalToolError(shown + ": written by a newer version of the service (journal schema " +
                           std::to_string(found) + ")");
  const std::string probes[] = {std::string("SELECT ") + journalschema::kColumns + " FROM requests LIMIT 0",
                                "SELECT request_id, at, state, owner, note FROM history LIMIT 0"};
  for (const std::string& probe : probes) {
    try {
      Statement q(db, probe);
      q.step();
    } catch (const std::exception& e) {
      if (!missingTableOrColumn(e)) throw;
      throw JournalToolError(shown + ": not a journal (no requests and history tables of the service" +
                             (db.backend() == sqldb::Backend::Postgres ? " in that database and schema)" : ")"));
    }
  }
}

std::unique_ptr<sqldb::Connection> openFile(const std::string& path, bool write, int busyTimeoutMs) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) throw JournalToolError("no journal at " + path);
    throw JournalToolError(path + ": cannot be read (" + std::strerror(errno) + ")");
  }
  if (!S_ISREG(st.st_mode)) throw JournalToolError(path + ": not a journal (not a regular file)");
  // A journal that no process has open has no -wal file; a reader would
  // leave one (and a -shm) behind, so such a journal is read as a plain
  // file. The service starting meanwhile writes to its own -wal, not here.
  const bool inUse = ::access((path + "-wal").c_str(), F_OK) == 0;
  auto db = openSqliteFile(path, true, !inUse, busyTimeoutMs);
  checkJournal(*db, path);
  // Checked before writing: a read-write open turns the file to WAL mode.
  if (write) {
    db.reset();
    db = openSqliteFile(path, false, false, busyTimeoutMs);
  }
  return db;
}

std::unique_ptr<sqldb::Connection> openServer(const std::string& uri, bool write, int busyTimeoutMs) {
  auto db = sqldb::openPostgres(uri);
  // A row the service holds locked is waited for as long as an SQLite
  // journal's lock is.
  db->exec("SET lock_timeout = " + std::to_string(busyTimeoutMs));
  // Reading is all the other commands do: the server holds them to it.
  if (!write) db->exec("SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY");
  checkJournal(*db, sqldb::locationForLog(uri));
  return db;
}

}  // namespace

std::unique_ptr<sqldb::Connection> openToolJournal(const std::string& location, bool write, int busyTimeoutMs) {
  const bool onServer = sqldb::isPostgresLocation(location);
  try {
    return onServer ? openServer(location, write, busyTimeoutMs) : openFile(location, write, busyTimeoutMs);
  } catch (const JournalToolError&) {
    throw;
  } catch (const std::exception& e) {
    failOnJournal(sqldb::locationForLog(location), e);
  }
}

bool missingTableOrColumn(const std::exception& error) {
  if (const auto* e = dynamic_cast<const sqlite::Error*>(&error)) return (e->code() & 0xff) == SQLITE_ERROR;
  if (const auto* e = dynamic_cast<const pg::Error*>(&error))
    return e->sqlstate() == "42P01" || e->sqlstate() == "42703";
  return false;
}

void failOnJournal(const std::string& shown, const std::exception& error) {
  const std::string busy = shown + ": the journal is busy (another process holds its lock); try again";
  if (const auto* e = dynamic_cast<const sqlite::Error*>(&error)) {
    switch (e->code() & 0xff) {
      case SQLITE_BUSY:
      case SQLITE_LOCKED:
        throw JournalToolError(busy);
      case SQLITE_NOTADB:
        throw JournalToolError(shown + ": not a journal (not an SQLite database)");
      case SQLITE_READONLY:
        throw JournalToolError(shown + ": cannot be written (" + e->what() + ")");
    }
  } else if (const auto* e = dynamic_cast<const pg::Error*>(&error)) {
    // 55P03: lock_timeout ran out; 40001/40P01: a race lost again and again.
    if (e->sqlstate() == "55P03" || pg::isRetryable(*e)) throw JournalToolError(busy);
    if (e->sqlstate() == "25006") throw JournalToolError(shown + ": cannot be written (" + e->what() + ")");
    if (pg::isConnectionLost(*e))
      throw JournalToolError(shown + ": the connection to the database was lost (" + e->what() + ")");
  }
  throw JournalToolError(shown + ": " + error.what());
}

#include "support/Sqlite.h"

namespace sqlite {
namespace {
constexpr int kBusyTimeoutMs = 10000;
}

Connection::Connection(const std::string& path, Open mode) {
  const int access = mode == Open::ReadOnly    ? SQLITE_OPEN_READONLY
                     : mode == Open::ReadWrite ? SQLITE_OPEN_READWRITE
                                               : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  const int flags = access | SQLITE_OPEN_FULLMUTEX;
  const int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close(db_);
    db_ = nullptr;
    throw Error(rc, "cannot open database '" + path + "': " + message);
  }
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  try {
    if (mode != Open::ReadOnly) exec("PRAGMA journal_mode=WAL");
    setSynced(true);
    exec("PRAGMA foreign_keys=ON");
  } catch (...) {
    sqlite3_close_v2(db_);
    throw;
  }
}

void Connection::setSynced(bool synced) { exec(synced ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL"); }

Connection::~Connection() {
  for (auto& [sql, statement] : prepared_) sqlite3_finalize(statement);
  sqlite3_close_v2(db_);
}

sqlite3_stmt* Connection::takePrepared(const std::string& sql) {
  std::lock_guard<std::mutex> lock(cacheMutex_);
  auto it = prepared_.find(sql);
  if (it == prepared_.end()) return nullptr;
  sqlite3_stmt* statement = it->second;
  prepared_.erase(it);
  return statement;
}

void Connection::keepPrepared(const std::string& sql, sqlite3_stmt* statement) {
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  std::lock_guard<std::mutex> lock(cacheMutex_);
  if (!prepared_.emplace(sql, statement).second) sqlite3_finalize(statement);  // one kept per text
}

void Connection::exec(const char* sql) {
  char* error = nullptr;
  const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &error);
  if (rc != SQLITE_OK) {
    std::string message = error ? error : sqlite3_errstr(rc);
    sqlite3_free(error);
    throw Error(rc, message);
  }
}

void Connection::fail(int code, const char* context) const {
  throw Error(code, std::string(context) + ": " + sqlite3_errmsg(db_));
}

Statement::Statement(Connection& connection, const char* sql) : connection_(connection), sql_(sql) {
  stmt_ = connection.takePrepared(sql_);
  if (stmt_) return;
  const int rc = sqlite3_prepare_v2(connection.handle(), sql, -1, &stmt_, nullptr);
  if (rc != SQLITE_OK) connection.fail(rc, "prepare");
}

Statement::~Statement() {
  if (stmt_) connection_.keepPrepared(sql_, stmt_);
}

Statement& Statement::bind(int index, int64_t value) {
  const int rc = sqlite3_bind_int64(stmt_, index, value);
  if (rc != SQLITE_OK) connection_.fail(rc, "bind");
  return *this;
}

Statement& Statement::bind(int index, double value) {
  const int rc = sqlite3_bind_double(stmt_, index, value);
  if (rc != SQLITE_OK) connection_.fail(rc, "bind");
  return *this;
}

Statement& Statement::bind(int index, std::string_view text) {
  const int rc = sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
  if (rc != SQLITE_OK) connection_.fail(rc, "bind");
  return *this;
}

Statement& Statement::bind(int index, const std::vector<unsigned char>& blob) {
  const int rc = sqlite3_bind_blob64(stmt_, index, blob.data(), blob.size(), SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) connection_.fail(rc, "bind");
  return *this;
}

Statement& Statement::bindNull(int index) {
  const int rc = sqlite3_bind_null(stmt_, index);
  if (rc != SQLITE_OK) connection_.fail(rc, "bind");
  return *this;
}

bool Statement::step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  connection_.fail(rc, "step");
}

void Statement::run() {
  while (step()) {
  }
}

std::string Statement::text(int column) const {
  const auto* data = sqlite3_column_text(stmt_, column);
  const int size = sqlite3_column_bytes(stmt_, column);
  return data ? std::string(reinterpret_cast<const char*>(data), static_cast<size_t>(size)) : std::string();
}

std::vector<unsigned char> Statement::blob(int column) const {
  const auto* data = static_cast<const unsigned char*>(sqlite3_column_blob(stmt_, column));
  const int size = sqlite3_column_bytes(stmt_, column);
  return data ? std::vector<unsigned char>(data, data + size) : std::vector<unsigned char>();
}

Transaction::Transaction(Connection& connection) : connection_(connection) { connection_.exec("BEGIN IMMEDIATE"); }

Transaction::~Transaction() {
  if (!open_) return;
  try {
    connection_.exec("ROLLBACK");
  } catch (const Error&) {
    // A failed statement may already have ended the transaction.
  }
}

void Transaction::commit() {
  connection_.exec("COMMIT");
  open_ = false;
}

}  // namespace sqlite

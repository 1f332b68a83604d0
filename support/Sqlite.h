#pragma once
// Thin owning wrappers over the SQLite C API: a connection, a prepared
// statement and an immediate (write-locking) transaction.
// Errors raise sqlite::Error with the library's message.
#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <string_view>
#include <vector>

namespace sqlite {

class Error : public std::runtime_error {
 public:
  Error(int code, const std::string& what) : std::runtime_error(what), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

class Connection {
 public:
  enum class Open { ReadOnly, ReadWrite, Create };
  // WAL mode, a busy time-out and foreign keys are set on every connection;
  // commits reach the disk (synchronous=FULL) until setSynced(false).
  Connection(const std::string& path, Open mode);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void exec(const char* sql);
  // synchronous=FULL (every commit synced to disk) or NORMAL (a commit
  // survives a crash of the process, not of the machine). Not inside a
  // transaction.
  void setSynced(bool synced);
  sqlite3* handle() const { return db_; }
  int64_t lastInsertRowid() const { return sqlite3_last_insert_rowid(db_); }
  int changes() const { return sqlite3_changes(db_); }
  [[noreturn]] void fail(int code, const char* context) const;

  // Prepared statements are kept for reuse, one per SQL text: compiling a
  // statement costs more than running most of them. Used by Statement.
  sqlite3_stmt* takePrepared(const std::string& sql);
  void keepPrepared(const std::string& sql, sqlite3_stmt* statement);

 private:
  sqlite3* db_ = nullptr;
  std::mutex cacheMutex_;  // a connection may serve several threads
  std::unordered_map<std::string, sqlite3_stmt*> prepared_;
};

class Statement {
 public:
  Statement(Connection& connection, const char* sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // Parameters are numbered from 1.
  Statement& bind(int index, int64_t value);
  Statement& bind(int index, uint64_t value) { return bind(index, static_cast<int64_t>(value)); }
  Statement& bind(int index, uint32_t value) { return bind(index, static_cast<int64_t>(value)); }
  Statement& bind(int index, int value) { return bind(index, static_cast<int64_t>(value)); }
  Statement& bind(int index, double value);
  Statement& bind(int index, std::string_view text);
  Statement& bind(int index, const char* text) { return bind(index, std::string_view(text)); }
  Statement& bind(int index, const std::string& text) { return bind(index, std::string_view(text)); }
  Statement& bind(int index, const std::vector<unsigned char>& blob);
  Statement& bindNull(int index);

  // Runs to the next row: true when a row is available.
  bool step();
  // Runs a statement that yields no rows.
  void run();

  // Columns are numbered from 0.
  int64_t int64(int column) const { return sqlite3_column_int64(stmt_, column); }
  uint64_t uint64(int column) const { return static_cast<uint64_t>(int64(column)); }
  double real(int column) const { return sqlite3_column_double(stmt_, column); }
  bool isNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
  std::string text(int column) const;
  std::vector<unsigned char> blob(int column) const;

 private:
  Connection& connection_;
  std::string sql_;
  sqlite3_stmt* stmt_ = nullptr;
};

// BEGIN IMMEDIATE takes the write lock up front, so two writers never
// deadlock upgrading from read to write; rolls back unless committed.
class Transaction {
 public:
  explicit Transaction(Connection& connection);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void commit();

 private:
  Connection& connection_;
  bool open_ = true;
};

}  // namespace sqlite

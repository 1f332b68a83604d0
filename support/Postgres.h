#pragma once
// Thin owning wrappers over libpq, shaped like support/Sqlite.h: a connection,
// a statement with `?` placeholders and a serializable transaction.
// Errors raise pg::Error with the server's SQLSTATE; no message ever holds
// the connection's password.
#include <libpq-fe.h>

#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace pg {

class Error : public std::runtime_error {
 public:
  Error(std::string sqlstate, const std::string& what, bool connectionLost = false)
      : std::runtime_error(what), sqlstate_(std::move(sqlstate)), connectionLost_(connectionLost) {}
  // Five characters from the server, or empty for a failure on the client's
  // side (a bad parameter) and for a failed connect, which libpq reports
  // without one (and which is not a lost connection).
  const std::string& sqlstate() const { return sqlstate_; }
  bool connectionLost() const { return connectionLost_; }

 private:
  std::string sqlstate_;
  bool connectionLost_;
};

// A serialization failure or deadlock (40001, 40P01): the transaction was
// rolled back and may be run again from its start.
bool isRetryable(const Error& error);
// The connection has gone (or the server is shutting it down): open a new one.
bool isConnectionLost(const Error& error);

// Rewrites `?` placeholders as $1..$n, outside quoted literals, quoted
// identifiers, dollar quotes and comments; count receives n. Every other `?`
// is a placeholder: jsonb's ? operators are written as functions.
std::string numberPlaceholders(std::string_view sql, int* count);

class Connection {
 public:
  // A libpq conninfo ("host=... dbname=...") or URI ("postgresql://...").
  // The password may also come from PGPASSWORD or the PGPASSFILE; sslmode and
  // the other TLS keywords pass through.
  explicit Connection(const std::string& conninfo);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // One or more statements without parameters; rows are discarded. Returns
  // the last one's command tag ("UPDATE 2"; "ROLLBACK" for a COMMIT of a
  // failed transaction).
  std::string exec(const std::string& sql);
  // Rows affected by the last statement run on this connection (PQcmdTuples:
  // a SELECT's rows; 0 for BEGIN, COMMIT and the like).
  int64_t changes() const;
  // The database server's clock (clock_timestamp()), ms since the epoch: the
  // one clock all hosts sharing the database agree on.
  int64_t nowMs();
  PGconn* handle() const { return conn_; }

  // Used by Statement: the name of the server-side statement prepared for
  // this SQL text (PQprepare on first use), its parameter count, and running
  // it. Both hold the connection's lock: a connection may serve several
  // threads, one call at a time.
  struct Prepared {
    std::string name;
    int parameters = 0;
  };
  Prepared prepare(const std::string& sql);
  PGresult* execPrepared(const Prepared& prepared, const std::vector<const char*>& values);

 private:
  // Returns a successful result; else clears it and throws an Error.
  PGresult* check(PGresult* result, const char* context);

  PGconn* conn_ = nullptr;
  mutable std::mutex mutex_;
  int64_t changes_ = 0;
  std::unordered_map<std::string, Prepared> prepared_;
};

class Statement {
 public:
  Statement(Connection& connection, const char* sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // Parameters are numbered from 1. Integers go as int64 (a uint64 above
  // INT64_MAX wraps, as with SQLite, and uint64() undoes it).
  Statement& bind(int index, int64_t value);
  Statement& bind(int index, uint64_t value) { return bind(index, static_cast<int64_t>(value)); }
  Statement& bind(int index, uint32_t value) { return bind(index, static_cast<int64_t>(value)); }
  Statement& bind(int index, int value) { return bind(index, static_cast<int64_t>(value)); }
  Statement& bind(int index, double value);
  Statement& bind(int index, std::string_view text);
  Statement& bind(int index, const char* text) { return bind(index, std::string_view(text)); }
  Statement& bind(int index, const std::string& text) { return bind(index, std::string_view(text)); }
  Statement& bindNull(int index);

  // The first call runs the statement; each call moves to the next row:
  // true when a row is available.
  bool step();
  // Runs a statement, discarding any rows. Bindings stay for another run.
  void run();

  // Columns are numbered from 0. NULL reads as 0 or "".
  int64_t int64(int column) const;
  uint64_t uint64(int column) const { return static_cast<uint64_t>(int64(column)); }
  double real(int column) const;
  bool isNull(int column) const;
  std::string text(int column) const;

 private:
  void execute();
  const char* value(int column) const;

  Connection& connection_;
  Connection::Prepared prepared_;
  std::vector<std::string> values_;
  std::vector<bool> null_;
  PGresult* result_ = nullptr;
  int row_ = -1;
};

// BEGIN ISOLATION LEVEL SERIALIZABLE; rolls back unless committed. A commit
// may fail with a retryable error: run the whole transaction again.
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

}  // namespace pg

#pragma once
// One face for the two databases a journal may live in: an SQLite file on
// this host, or a PostgreSQL server shared by several hosts. Statements use
// `?` placeholders and SQL both accept; what differs (the schema, the clock,
// how a commit is made durable, which failures may be run again) is asked of
// the connection. Errors raise the backend's own exception, a
// std::runtime_error whose message never holds a password.
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

namespace sqldb {

enum class Backend { Sqlite, Postgres };

// A prepared statement of one backend; used through Statement.
class Cursor {
 public:
  virtual ~Cursor() = default;
  virtual void bind(int index, int64_t value) = 0;
  virtual void bind(int index, double value) = 0;
  virtual void bind(int index, std::string_view text) = 0;
  virtual void bindNull(int index) = 0;
  virtual bool step() = 0;
  virtual void run() = 0;
  virtual int64_t int64(int column) const = 0;
  virtual double real(int column) const = 0;
  virtual bool isNull(int column) const = 0;
  virtual std::string text(int column) const = 0;
};

class Connection {
 public:
  virtual ~Connection() = default;
  virtual Backend backend() const = 0;
  // Statements without parameters; rows are discarded.
  virtual void exec(const std::string& sql) = 0;
  // Rows changed by the last statement.
  virtual int64_t changes() = 0;
  // Milliseconds since the epoch on the clock every user of the database
  // agrees on: the server's for PostgreSQL (read once per transaction and
  // advanced on this host's steady clock within it), this host's for SQLite.
  virtual int64_t nowMs() = 0;
  // A write transaction: SQLite takes its write lock up front, so writers
  // run one at a time; PostgreSQL runs them side by side (read committed),
  // and a transaction that reads before it writes takes lock() on what it
  // read. A lost connection is opened again by begin.
  virtual void begin() = 0;
  // Inside a transaction: waits until no other transaction holds key, and
  // holds it until this one ends. Under SQLite's write lock, nothing to do.
  virtual void lock(const std::string& key) = 0;
  virtual void commit() = 0;
  virtual void rollback() noexcept = 0;
  // Whether a commit waits until it is on disk (SQLite: synchronous=FULL,
  // else NORMAL). PostgreSQL always waits: a server that crashes loses no
  // commit it confirmed, whatever a later write assumes of it. Outside a
  // transaction.
  virtual void setSynced(bool synced) = 0;
  // A failure after which the whole transaction may be run again at once
  // (a serialization failure, a deadlock).
  virtual bool retryable(const std::exception& error) const = 0;
  // The connection went: whether what was sent last was committed cannot
  // be told. The next begin opens a new one.
  virtual bool connectionLost(const std::exception& error) const = 0;
  virtual std::unique_ptr<Cursor> prepare(const char* sql) = 0;
};

class Statement {
 public:
  Statement(Connection& connection, const char* sql) : cursor_(connection.prepare(sql)) {}
  Statement(Connection& connection, const std::string& sql) : Statement(connection, sql.c_str()) {}

  // Parameters are numbered from 1; a uint64 above INT64_MAX wraps and
  // uint64() undoes it.
  Statement& bind(int index, int64_t value) { return cursor_->bind(index, value), *this; }
  Statement& bind(int index, uint64_t value) { return bind(index, static_cast<int64_t>(value)); }
  Statement& bind(int index, uint32_t value) { return bind(index, static_cast<int64_t>(value)); }
  Statement& bind(int index, int value) { return bind(index, static_cast<int64_t>(value)); }
  Statement& bind(int index, double value) { return cursor_->bind(index, value), *this; }
  Statement& bind(int index, std::string_view text) { return cursor_->bind(index, text), *this; }
  Statement& bind(int index, const char* text) { return bind(index, std::string_view(text)); }
  Statement& bind(int index, const std::string& text) { return bind(index, std::string_view(text)); }
  Statement& bindNull(int index) { return cursor_->bindNull(index), *this; }

  // True when a row is available; after the last, the next step runs the
  // statement again.
  bool step() { return cursor_->step(); }
  void run() { cursor_->run(); }

  // Columns are numbered from 0; NULL reads as 0 or "".
  int64_t int64(int column) const { return cursor_->int64(column); }
  uint64_t uint64(int column) const { return static_cast<uint64_t>(int64(column)); }
  double real(int column) const { return cursor_->real(column); }
  bool isNull(int column) const { return cursor_->isNull(column); }
  std::string text(int column) const { return cursor_->text(column); }

 private:
  std::unique_ptr<Cursor> cursor_;
};

// Rolls back unless committed.
class Transaction {
 public:
  explicit Transaction(Connection& connection) : connection_(connection) { connection_.begin(); }
  ~Transaction() {
    if (open_) connection_.rollback();
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void commit() {
    open_ = false;
    connection_.commit();
  }

 private:
  Connection& connection_;
  bool open_ = true;
};

// An SQLite file (WAL mode); readOnly opens it without writing to it.
std::unique_ptr<Connection> openSqlite(const std::string& path, bool create, bool readOnly = false);
// A PostgreSQL server: a libpq URI or conninfo. Throws when it cannot
// connect now; later losses are mended by the next begin or statement.
std::unique_ptr<Connection> openPostgres(const std::string& conninfo);

// Whether a journal location names a PostgreSQL server rather than a file.
bool isPostgresLocation(const std::string& location);
// A server's URI with the password kept on the first line of passwordFile
// (a trailing CR dropped) as a percent-encoded parameter. Throws
// std::runtime_error naming the file when it has no password.
std::string withPasswordFile(const std::string& uri, const std::string& passwordFile);
// The location without its password, fit for a log line.
std::string locationForLog(const std::string& location);

}  // namespace sqldb

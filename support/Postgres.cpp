#include "support/Postgres.h"

#include <cctype>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace pg {
namespace {

bool identifierChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  return std::isalnum(u) || c == '_' || c == '$' || u >= 0x80;
}

// Past the end of the closing `quote`; a doubled quote stands for itself, and
// with backslashes on (E'...') a backslash escapes the next character.
size_t skipQuote(std::string_view sql, size_t i, char quote, bool backslashes) {
  for (++i; i < sql.size(); ++i) {
    if (backslashes && sql[i] == '\\') {
      ++i;
    } else if (sql[i] == quote) {
      if (i + 1 < sql.size() && sql[i + 1] == quote)
        ++i;
      else
        return i + 1;
    }
  }
  return sql.size();
}

// Past the end of a literal, quoted identifier, dollar quote or comment
// starting at i; i itself when none starts there.
size_t skipQuoted(std::string_view sql, size_t i) {
  const char c = sql[i];
  const char next = i + 1 < sql.size() ? sql[i + 1] : '\0';
  if (c == '\'') {
    const bool escapes = i > 0 && (sql[i - 1] == 'E' || sql[i - 1] == 'e') && (i < 2 || !identifierChar(sql[i - 2]));
    return skipQuote(sql, i, '\'', escapes);
  }
  if (c == '"') return skipQuote(sql, i, '"', false);
  if (c == '-' && next == '-') {
    const size_t end = sql.find('\n', i);
    return end == std::string_view::npos ? sql.size() : end;
  }
  if (c == '/' && next == '*') {  // comments nest
    int depth = 0;
    for (; i + 1 < sql.size(); ++i) {
      if (sql[i] == '/' && sql[i + 1] == '*') {
        ++depth, ++i;
      } else if (sql[i] == '*' && sql[i + 1] == '/') {
        ++i;
        if (--depth == 0) return i + 1;
      }
    }
    return sql.size();
  }
  if (c == '$' && (i == 0 || !identifierChar(sql[i - 1])) && !std::isdigit(static_cast<unsigned char>(next))) {
    size_t end = i + 1;
    while (end < sql.size() && sql[end] != '$' && identifierChar(sql[end])) ++end;
    if (end >= sql.size() || sql[end] != '$') return i;  // not a $tag$
    const std::string_view tag = sql.substr(i, end - i + 1);
    const size_t close = sql.find(tag, end + 1);
    return close == std::string_view::npos ? sql.size() : close + tag.size();
  }
  return i;
}

std::string trimmed(const char* message) {
  std::string text = message ? message : "";
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

void scrub(std::string& text, std::initializer_list<const char*> secrets) {
  for (const char* secret : secrets) {
    if (!secret || !*secret) continue;
    const size_t length = std::strlen(secret);
    for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 8))
      text.replace(at, length, "********");
  }
}

// libpq quotes the part of a connection string it could not parse, which may
// be the password: every quoted part is left out.
std::string hideQuoted(const char* message) {
  std::string out;
  bool inside = false;
  for (const char* p = message; *p; ++p) {
    if (*p == '"') {
      inside = !inside;
      if (inside) out += "\"...\"";
    } else if (!inside) {
      out += *p;
    }
  }
  return trimmed(out.c_str());
}

void ignoreNotice(void*, const char*) {}

}  // namespace

bool isRetryable(const Error& error) { return error.sqlstate() == "40001" || error.sqlstate() == "40P01"; }

bool isConnectionLost(const Error& error) { return error.connectionLost(); }

std::string numberPlaceholders(std::string_view sql, int* count) {
  std::string out;
  out.reserve(sql.size() + 16);
  int n = 0;
  for (size_t i = 0; i < sql.size();) {
    if (sql[i] == '?') {
      out += '$' + std::to_string(++n);
      ++i;
      continue;
    }
    const size_t end = skipQuoted(sql, i);
    if (end == i) {
      out += sql[i++];
    } else {
      out.append(sql.substr(i, end - i));
      i = end;
    }
  }
  if (count) *count = n;
  return out;
}

Connection::Connection(const std::string& conninfo) {
  char* parseError = nullptr;
  PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &parseError);
  if (!options) {
    const std::string reason = parseError ? hideQuoted(parseError) : "out of memory";
    PQfreemem(parseError);
    throw Error("", "invalid connection string: " + reason);
  }
  std::string password;
  for (const PQconninfoOption* o = options; o->keyword; ++o)
    if (o->val && std::strcmp(o->keyword, "password") == 0) password = o->val;
  PQconninfoFree(options);

  conn_ = PQconnectdb(conninfo.c_str());
  if (!conn_) throw Error("", "cannot connect: out of memory");
  if (PQstatus(conn_) != CONNECTION_OK) {
    std::string message = "cannot connect to " + trimmed(PQhost(conn_)) + ":" + trimmed(PQport(conn_)) + " database " +
                          trimmed(PQdb(conn_)) + " as " + trimmed(PQuser(conn_)) + ": " +
                          trimmed(PQerrorMessage(conn_));
    scrub(message, {password.c_str(), PQpass(conn_), std::getenv("PGPASSWORD")});
    PQfinish(conn_);
    throw Error("", message);
  }
  PQsetNoticeProcessor(conn_, ignoreNotice, nullptr);  // e.g. ROLLBACK outside a transaction
}

Connection::~Connection() { PQfinish(conn_); }

PGresult* Connection::check(PGresult* result, const char* context) {
  const ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK || status == PGRES_EMPTY_QUERY) {
    const char* tuples = PQcmdTuples(result);
    changes_ = *tuples ? std::strtoll(tuples, nullptr, 10) : 0;
    return result;
  }
  std::string sqlstate;
  if (const char* field = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr) sqlstate = field;
  std::string message =
      std::string(context) + ": " +
      trimmed(result && *PQresultErrorMessage(result) ? PQresultErrorMessage(result) : PQerrorMessage(conn_));
  if (status != PGRES_FATAL_ERROR && status != PGRES_NONFATAL_ERROR)
    message += std::string(" (unexpected result ") + PQresStatus(status) + ")";
  PQclear(result);
  scrub(message, {PQpass(conn_), std::getenv("PGPASSWORD")});
  // Class 08 is a connection exception; 57P01-3 the server shutting down.
  const bool lost = PQstatus(conn_) == CONNECTION_BAD || sqlstate.rfind("08", 0) == 0 || sqlstate == "57P01" ||
                    sqlstate == "57P02" || sqlstate == "57P03";
  throw Error(sqlstate, message, lost);
}

std::string Connection::exec(const std::string& sql) {
  std::lock_guard<std::mutex> lock(mutex_);
  PGresult* result = check(PQexec(conn_, sql.c_str()), "exec");
  std::string tag = PQcmdStatus(result);
  PQclear(result);
  return tag;
}

int64_t Connection::changes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return changes_;
}

int64_t Connection::nowMs() {
  Statement now(*this, "SELECT floor(extract(epoch FROM clock_timestamp()) * 1000)::bigint");
  if (!now.step()) throw Error("", "nowMs: no row");
  return now.int64(0);
}

Connection::Prepared Connection::prepare(const std::string& sql) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto it = prepared_.find(sql); it != prepared_.end()) return it->second;
  Prepared prepared;
  prepared.name = "mqb_" + std::to_string(prepared_.size() + 1);
  const std::string numbered = numberPlaceholders(sql, &prepared.parameters);
  PQclear(check(PQprepare(conn_, prepared.name.c_str(), numbered.c_str(), prepared.parameters, nullptr), "prepare"));
  return prepared_.emplace(sql, prepared).first->second;
}

PGresult* Connection::execPrepared(const Prepared& prepared, const std::vector<const char*>& values) {
  std::lock_guard<std::mutex> lock(mutex_);
  return check(PQexecPrepared(conn_, prepared.name.c_str(), prepared.parameters, values.data(), nullptr, nullptr, 0),
               "execute");
}

Statement::Statement(Connection& connection, const char* sql)
    : connection_(connection),
      prepared_(connection.prepare(sql)),
      values_(static_cast<size_t>(prepared_.parameters)),
      null_(values_.size(), true) {}

Statement::~Statement() { PQclear(result_); }

Statement& Statement::bind(int index, int64_t value) { return bind(index, std::string_view(std::to_string(value))); }

Statement& Statement::bind(int index, double value) {
  char buffer[32];
  const auto written = std::to_chars(buffer, buffer + sizeof buffer, value);  // shortest that reads back exactly
  return bind(index, std::string_view(buffer, static_cast<size_t>(written.ptr - buffer)));
}

Statement& Statement::bind(int index, std::string_view text) {
  bindNull(index);
  // libpq takes text parameters NUL-terminated, so an inner NUL would cut it.
  if (text.find('\0') != std::string_view::npos)
    throw Error("", "bind: parameter " + std::to_string(index) + " holds a NUL character");
  values_[static_cast<size_t>(index - 1)].assign(text);
  null_[static_cast<size_t>(index - 1)] = false;
  return *this;
}

Statement& Statement::bindNull(int index) {
  if (index < 1 || index > prepared_.parameters)
    throw Error("", "bind: no parameter " + std::to_string(index) + " (the statement has " +
                        std::to_string(prepared_.parameters) + ")");
  null_[static_cast<size_t>(index - 1)] = true;
  return *this;
}

void Statement::execute() {
  PQclear(result_);
  result_ = nullptr;
  row_ = -1;
  std::vector<const char*> values(values_.size());
  for (size_t i = 0; i < values.size(); ++i) values[i] = null_[i] ? nullptr : values_[i].c_str();
  result_ = connection_.execPrepared(prepared_, values);
}

bool Statement::step() {
  if (!result_) execute();
  if (++row_ < PQntuples(result_)) return true;
  PQclear(result_);  // as with SQLite, the next step runs the statement again
  result_ = nullptr;
  row_ = -1;
  return false;
}

void Statement::run() {
  execute();
  PQclear(result_);
  result_ = nullptr;
}

const char* Statement::value(int column) const {
  if (!result_ || row_ < 0) throw Error("", "column " + std::to_string(column) + ": no current row");
  if (column < 0 || column >= PQnfields(result_))
    throw Error("", "column " + std::to_string(column) + ": the row has " + std::to_string(PQnfields(result_)));
  return PQgetisnull(result_, row_, column) ? nullptr : PQgetvalue(result_, row_, column);
}

bool Statement::isNull(int column) const { return value(column) == nullptr; }

std::string Statement::text(int column) const {
  const char* v = value(column);
  return v ? std::string(v, static_cast<size_t>(PQgetlength(result_, row_, column))) : std::string();
}

int64_t Statement::int64(int column) const {
  const std::string v = text(column);
  if (v.empty()) return 0;
  if (v == "t" || v == "f") return v == "t";  // booleans read as SQLite's 1 and 0
  int64_t out = 0;
  const auto parsed = std::from_chars(v.data(), v.data() + v.size(), out);
  if (parsed.ec != std::errc() || parsed.ptr != v.data() + v.size())
    throw Error("", "column " + std::to_string(column) + " holds '" + v + "', not an integer");
  return out;
}

double Statement::real(int column) const {
  const std::string v = text(column);
  if (v.empty()) return 0;
  double out = 0;
  const auto parsed = std::from_chars(v.data(), v.data() + v.size(), out);
  if (parsed.ec != std::errc() || parsed.ptr != v.data() + v.size())
    throw Error("", "column " + std::to_string(column) + " holds '" + v + "', not a number");
  return out;
}

Transaction::Transaction(Connection& connection) : connection_(connection) {
  connection_.exec("BEGIN ISOLATION LEVEL SERIALIZABLE");
}

Transaction::~Transaction() {
  if (!open_) return;
  try {
    connection_.exec("ROLLBACK");
  } catch (const Error&) {
    // The connection may have gone; the server then rolls back by itself.
  }
}

void Transaction::commit() {
  open_ = false;  // whatever COMMIT answers, the transaction is over
  // After a failed statement the server answers COMMIT with ROLLBACK.
  if (connection_.exec("COMMIT") != "COMMIT") throw Error("25P02", "commit: the transaction had failed; rolled back");
}

}  // namespace pg

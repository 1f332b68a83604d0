#pragma once
// The request journal as mqbridge-journal reads it: opened only when it
// exists, read without leaving a trace, written only to resolve a request.
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bus/ProcessOwner.h"
#include "support/Sqlite.h"

// One line for the operator, naming the journal.
class JournalToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

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

class JournalFile {
 public:
  enum class Access { Read, Write };
  // Throws JournalToolError when the file is missing, is not a journal of
  // this version, or stays locked longer than busyTimeoutMs.
  JournalFile(std::string path, Access access, int busyTimeoutMs);

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
  // in_doubt → resolved, with a history line by "operator"; throws
  // JournalToolError naming the state of a request in any other state.
  JournalRow resolve(const std::string& id, const std::string& note);

  const std::string& path() const { return path_; }

 private:
  std::unique_ptr<sqlite::Connection> open(sqlite::Connection::Open mode, bool immutable);
  void check();
  std::vector<JournalRow> rows(const std::string& where, int64_t parameter);
  [[noreturn]] void fail(const sqlite::Error& e) const;

  std::string path_;
  int busyTimeoutMs_;
  std::unique_ptr<sqlite::Connection> db_;
};

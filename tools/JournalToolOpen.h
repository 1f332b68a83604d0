#pragma once
// Opening the request journal for mqbridge-journal, wherever it lives: an
// SQLite file (only when it exists, read without leaving a trace) or a
// PostgreSQL database (only when the service's tables are there). Every
// failure becomes one line naming the journal, never its password.
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>

#include "support/SqlDb.h"

// One line for the operator, naming the journal.
class JournalToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// location: a file's path or a postgresql:// URI. write: for resolve
// (otherwise nothing may be written). Throws JournalToolError when there is
// no journal there, it is not one, it was written by a newer version, it
// cannot be reached, or it stays locked longer than busyTimeoutMs.
std::unique_ptr<sqldb::Connection> openToolJournal(const std::string& location, bool write, int busyTimeoutMs);

// The reason of a database failure as the operator reads it, after shown
// (the location without its password).
[[noreturn]] void failOnJournal(const std::string& shown, const std::exception& error);

// A table or column the statement names is not there (an older journal, or
// not a journal at all).
bool missingTableOrColumn(const std::exception& error);

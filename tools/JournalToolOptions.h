#pragma once
// Command line of mqbridge-journal:
//   mqbridge-journal [--journal PATH|URI] [--config PATH] [COMMAND]
#include <stdexcept>
#include <string>
#include <vector>

struct JournalUsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

enum class JournalCommand { List, Show, Resolve };

struct JournalToolOptions {
  bool help = false;
  // A file or a postgresql:// URI; empty: the "journal" or "journalPath"
  // key of the config.
  std::string journal;
  std::string configPath = "config.ini";
  JournalCommand command = JournalCommand::List;
  bool all = false;   // list: every request, not only those to reconcile
  int sinceDays = 0;  // list --all: received within this many days; 0: any
  std::string id;     // show, resolve: a row id or a message id
  std::string note;   // resolve: what the operator found
};

// Throws JournalUsageError with a one-line reason.
JournalToolOptions parseJournalToolOptions(const std::vector<std::string>& args);

const char* journalToolUsage();

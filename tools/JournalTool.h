#pragma once
// mqbridge-journal: the operator's view of the request journal — the
// requests to reconcile, one request in full, and marking a request in
// doubt resolved once the trading server was checked.
#include <iosfwd>
#include <string>
#include <vector>

constexpr int kJournalToolBusyTimeoutMs = 10000;

// Runs one command line (without the program name). Returns the exit
// status: 0 done, 1 an error (one line on err), 2 bad usage (usage on err).
int runJournalTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                   int busyTimeoutMs = kJournalToolBusyTimeoutMs);

#pragma once
// The outcome of one bench run: a table for the terminal and a JSON file for
// bench/report.
#include <ostream>
#include <string>

#include "bench/BenchOptions.h"
#include "bench/LatencyStats.h"
#include "bench/ReplyTracker.h"

namespace bench {

struct RunResult {
  RunOptions options;
  std::string runId;
  std::string brokerUri;
  RunCounts counts;
  LatencySummary latency;  // microseconds, measured requests only
  double seconds = 0;      // measured span
  double throughput = 0;   // measured answers per second
  bool drained = false;    // every expected reply came before the drain time-out

  // Missing, duplicated, wrong or unexpected replies, or requests lost at send.
  bool faultsFound() const;
};

void printTable(std::ostream& out, const RunResult& result);
// Throws std::runtime_error when the file cannot be written.
void writeJsonFile(const std::string& path, const RunResult& result);

}  // namespace bench

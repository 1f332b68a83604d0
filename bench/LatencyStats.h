#pragma once
// Percentiles of a set of latencies (microseconds).
#include <cstddef>
#include <vector>

namespace bench {

struct LatencySummary {
  std::size_t count = 0;
  double mean = 0, p50 = 0, p90 = 0, p99 = 0, p999 = 0, max = 0;
};

// Nearest-rank percentiles; an empty set gives all zeros.
LatencySummary summarize(std::vector<double> micros);

// The nearest-rank percentile `p` (0..100) of sorted values.
double percentile(const std::vector<double>& sorted, double p);

}  // namespace bench

#include "bench/LatencyStats.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace bench {

double percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  // Smallest value with at least p% of the values at or below it.
  const double rank = std::ceil(p / 100.0 * static_cast<double>(sorted.size()));
  const size_t index = rank < 1 ? 0 : std::min(sorted.size() - 1, static_cast<size_t>(rank) - 1);
  return sorted[index];
}

LatencySummary summarize(std::vector<double> micros) {
  LatencySummary s;
  if (micros.empty()) return s;
  std::sort(micros.begin(), micros.end());
  s.count = micros.size();
  s.mean = std::accumulate(micros.begin(), micros.end(), 0.0) / static_cast<double>(micros.size());
  s.p50 = percentile(micros, 50);
  s.p90 = percentile(micros, 90);
  s.p99 = percentile(micros, 99);
  s.p999 = percentile(micros, 99.9);
  s.max = micros.back();
  return s;
}

}  // namespace bench

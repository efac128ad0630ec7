// Figures shared by the load clients: percentiles of measured latencies.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace loadstats {

// The value at fraction `p` (0 to 1) of the ascending `sorted`; 0 when empty.
inline double Percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  size_t at = static_cast<size_t>(p * (sorted.size() - 1) + 0.5);
  return sorted[std::min(at, sorted.size() - 1)];
}

}  // namespace loadstats

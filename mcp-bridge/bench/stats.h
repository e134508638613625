// Order statistics of measured samples.
#pragma once

#include <algorithm>
#include <vector>

namespace bench {

// The value below which `fraction` of the samples lie (nearest rank).
inline double percentile(std::vector<double> samples, double fraction) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  size_t rank = static_cast<size_t>(fraction * static_cast<double>(samples.size()));
  return samples[std::min(rank, samples.size() - 1)];
}

inline double median(const std::vector<double>& samples) { return percentile(samples, 0.5); }

}  // namespace bench

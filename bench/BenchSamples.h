// Round-trip samples taken one per call, and the median and 99th percentile the benchmark reports of them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrix::bench {

/// Median, 99th percentile and mean of a set of round trips, in microseconds; count 0 when nothing was taken.
struct LatencySummary {
  std::size_t count = 0;
  double p50Us = 0;
  double p99Us = 0;
  double meanUs = 0;
};

/// The nearest-rank percentile `q` (0 < q <= 1) of `sortedNs`, which must be sorted and not empty.
inline double PercentileNs(const std::vector<int64_t>& sortedNs, double q) {
  std::size_t rank = static_cast<std::size_t>(q * static_cast<double>(sortedNs.size()) + 0.999999);
  rank = std::clamp<std::size_t>(rank, 1, sortedNs.size());
  return static_cast<double>(sortedNs[rank - 1]);
}

/// Summarises `samplesNs` (sorted in place).
inline LatencySummary Summarise(std::vector<int64_t>& samplesNs) {
  LatencySummary s;
  if (samplesNs.empty()) {
    return s;
  }
  std::sort(samplesNs.begin(), samplesNs.end());
  double total = 0;
  for (int64_t v : samplesNs) {
    total += static_cast<double>(v);
  }
  s.count = samplesNs.size();
  s.p50Us = PercentileNs(samplesNs, 0.50) / 1000.0;
  s.p99Us = PercentileNs(samplesNs, 0.99) / 1000.0;
  s.meanUs = total / static_cast<double>(samplesNs.size()) / 1000.0;
  return s;
}

}  // namespace kestrix::bench

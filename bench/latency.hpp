// Per-call latencies collected by the benchmark itself, across every
// repetition, so that the median and the tail come from the calls themselves
// rather than from Google Benchmark's per-run means.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <vector>

namespace quorvellan::bench {

using Clock = std::chrono::steady_clock;

inline double MicrosecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

struct LatencySummary {
    std::size_t count = 0;
    double median = 0.0;
    double p99 = 0.0;
    double max = 0.0;
    std::size_t over10ms = 0;
};

// Nearest-rank percentiles of the samples (microseconds).
inline LatencySummary Summarise(std::vector<double> samples) {
    LatencySummary summary;
    summary.count = samples.size();
    if (samples.empty()) return summary;
    std::sort(samples.begin(), samples.end());
    auto rank = [&](double fraction) { return samples[static_cast<std::size_t>(fraction * (samples.size() - 1))]; };
    summary.median = rank(0.5);
    summary.p99 = rank(0.99);
    summary.max = samples.back();
    summary.over10ms = static_cast<std::size_t>(
        samples.end() - std::upper_bound(samples.begin(), samples.end(), 10'000.0));
    return summary;
}

}  // namespace quorvellan::bench

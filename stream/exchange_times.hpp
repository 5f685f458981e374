// How long the poll thread's exchanges take, counted in fixed buckets. The
// poll thread adds; any thread reads, without a lock: each count is an
// atomic of its own, and a reader sums the buckets for the total, so the
// total always equals the buckets it read.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>

#include "stream/QuorvellanStream.h"

namespace quorvellan::stream {

class ExchangeTimes {
public:
    // Upper bounds of the buckets in seconds: from well inside a local
    // exchange to beyond the 100 ms read deadline; the last is open.
    static constexpr std::array<double, QUORVELLAN_STREAM_EXCHANGE_BUCKETS> kBounds{
        0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
        std::numeric_limits<double>::infinity()};

    void Add(std::chrono::nanoseconds taken) {
        const double seconds = std::chrono::duration<double>(taken).count();
        std::size_t bucket = 0;
        while (seconds > kBounds[bucket]) ++bucket;  // the last bound is infinite
        counts[bucket].fetch_add(1, std::memory_order_relaxed);
        totalNs.fetch_add(static_cast<std::uint64_t>(taken.count()), std::memory_order_relaxed);
    }

    void Read(QuorvellanStreamExchangeHistogram& histogram) const {
        histogram.count = 0;
        for (std::size_t i = 0; i < kBounds.size(); ++i) {
            histogram.upperBoundSeconds[i] = kBounds[i];
            histogram.bucketCounts[i] = counts[i].load(std::memory_order_relaxed);
            histogram.count += histogram.bucketCounts[i];
        }
        histogram.sumSeconds = static_cast<double>(totalNs.load(std::memory_order_relaxed)) * 1e-9;
    }

    // Runs one exchange (a call of the core) and counts the time it took.
    template <typename Exchange>
    auto Time(Exchange exchange) {
        const auto start = std::chrono::steady_clock::now();
        auto result = exchange();
        Add(std::chrono::steady_clock::now() - start);
        return result;
    }

private:
    std::array<std::atomic<std::uint64_t>, QUORVELLAN_STREAM_EXCHANGE_BUCKETS> counts{};
    std::atomic<std::uint64_t> totalNs{0};
};

}  // namespace quorvellan::stream

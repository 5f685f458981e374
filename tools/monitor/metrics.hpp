// The monitor's /metrics: the stream's state in Prometheus' text format
// (version 0.0.4), labelled by the treadmill's serial number, for fleets
// watched by one Prometheus server (docs/prometheus.yml).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "stream/QuorvellanStream.h"

namespace quorvellan::monitor {

// Everything one scrape shows.
struct MetricsSnapshot {
    QuorvellanStreamSample sample{};
    QuorvellanStreamExchangeHistogram exchanges{};
    std::int64_t nowNs = 0;        // QuorvellanStreamClockNs() when taken
    std::int64_t startNs = 0;      // the sample's timeNs until the first read: the stream's start (0: unknown)
    double pollRateHz = 0.0;       // achieved; NaN while unknown
    double pollRateTargetHz = 0.0;
    std::string serial;            // the label: the serial number last read ("" before any)
};

constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

std::string PrometheusText(const MetricsSnapshot& snapshot);

// Takes snapshots of a running stream for the web server's thread. The
// achieved poll rate is measured between scrapes, over at least kRateWindowNs;
// the serial number stays the last one read while the treadmill is away. The
// stream's start is taken from a sample that has not connected yet (the
// first, at construction), so that a sample age is given only for a read.
class StreamMetrics {
public:
    static constexpr std::int64_t kRateWindowNs = 500'000'000;

    StreamMetrics(const QuorvellanStream* stream, double pollRateTargetHz);
    // Any thread. After Detach: an empty text.
    std::string Render();
    // Before the stream is stopped: no scrape uses it afterwards.
    void Detach();

private:
    void NoteStart(const QuorvellanStreamSample& sample);

    std::mutex mutex;
    const QuorvellanStream* stream;
    const double pollRateTargetHz;
    std::string serial;
    std::int64_t startNs = 0;
    double pollRateHz;
    std::int64_t rateSinceNs = 0;
    std::uint64_t rateSinceSequence = 0;
};

}  // namespace quorvellan::monitor

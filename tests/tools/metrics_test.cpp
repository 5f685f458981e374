// The monitor's /metrics text: each family with its HELP and TYPE, the serial
// number as an escaped label, NaN where nothing is known yet, and the exchange
// histogram's buckets cumulative with _count equal to the +Inf bucket.
// (promtool checks the real output in prometheus_test.)
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "tools/monitor/metrics.hpp"

namespace {

using quorvellan::monitor::MetricsSnapshot;
using quorvellan::monitor::PrometheusText;

// "name{labels}" -> value text, of every sample line; checks each family is declared first.
std::map<std::string, std::string> Samples(const std::string& text) {
    std::map<std::string, std::string> samples;
    std::istringstream lines(text);
    std::string line, declared;
    while (std::getline(lines, line)) {
        if (line.rfind("# TYPE ", 0) == 0) declared = line.substr(7, line.find(' ', 7) - 7);
        if (line.empty() || line[0] == '#') continue;
        const std::size_t space = line.rfind(' ');
        EXPECT_EQ(line.rfind(declared, 0), 0u) << "undeclared: " << line;
        samples[line.substr(0, space)] = line.substr(space + 1);
    }
    return samples;
}

MetricsSnapshot Connected(const char* serial) {
    MetricsSnapshot snapshot;
    snapshot.sample.state = QUORVELLAN_STREAM_CONNECTED;
    snapshot.sample.timeNs = 1'000'000'000;
    snapshot.nowNs = 1'250'000'000;
    snapshot.sample.reconnects = 3;
    snapshot.sample.failedReads = 7;
    snapshot.sample.exchanges = 1234;
    snapshot.pollRateHz = 249.5;
    snapshot.pollRateTargetHz = 250.0;
    snapshot.serial = serial;
    return snapshot;
}

TEST(Metrics, ConnectedTreadmillWithItsCountsAndAge) {
    const auto samples = Samples(PrometheusText(Connected("TM-1")));
    const struct {
        const char* series;
        const char* value;
    } expected[] = {
        {"quorvellan_treadmill_connected{serial=\"TM-1\"}", "1"},
        {"quorvellan_stream_state{serial=\"TM-1\",state=\"connected\"}", "1"},
        {"quorvellan_stream_state{serial=\"TM-1\",state=\"lost\"}", "0"},
        {"quorvellan_reconnects_total{serial=\"TM-1\"}", "3"},
        {"quorvellan_failed_reads_total{serial=\"TM-1\"}", "7"},
        {"quorvellan_exchanges_total{serial=\"TM-1\"}", "1234"},
        {"quorvellan_sample_age_seconds{serial=\"TM-1\"}", "0.25"},
        {"quorvellan_poll_rate_hertz{serial=\"TM-1\"}", "249.5"},
        {"quorvellan_poll_rate_target_hertz{serial=\"TM-1\"}", "250"},
    };
    for (const auto& [series, value] : expected) {
        ASSERT_TRUE(samples.count(series)) << series;
        EXPECT_EQ(samples.at(series), value) << series;
    }
}

TEST(Metrics, NothingReadYetIsNaNAndTheSerialIsEscaped) {
    MetricsSnapshot snapshot;
    snapshot.sample.state = QUORVELLAN_STREAM_CONNECTING;
    snapshot.sample.lastStatus = -1;
    snapshot.pollRateHz = std::numeric_limits<double>::quiet_NaN();
    snapshot.serial = "a\"b\\c\nd";
    const auto samples = Samples(PrometheusText(snapshot));
    const std::string label = "{serial=\"a\\\"b\\\\c\\nd\"}";
    EXPECT_EQ(samples.at("quorvellan_treadmill_connected" + label), "0");
    EXPECT_EQ(samples.at("quorvellan_sample_age_seconds" + label), "NaN");
    EXPECT_EQ(samples.at("quorvellan_poll_rate_hertz" + label), "NaN");
    EXPECT_EQ(samples.at("quorvellan_last_connect_status" + label), "-1");
}

TEST(Metrics, ExchangeHistogramIsCumulative) {
    MetricsSnapshot snapshot = Connected("TM-2");
    const double bounds[QUORVELLAN_STREAM_EXCHANGE_BUCKETS] = {0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005,
                                                               0.01,   0.025,   0.05,   0.1,   0.25,
                                                               std::numeric_limits<double>::infinity()};
    const std::uint64_t counts[QUORVELLAN_STREAM_EXCHANGE_BUCKETS] = {5, 0, 2, 0, 0, 0, 0, 0, 0, 0, 1, 4};
    std::memcpy(snapshot.exchanges.upperBoundSeconds, bounds, sizeof bounds);
    std::memcpy(snapshot.exchanges.bucketCounts, counts, sizeof counts);
    snapshot.exchanges.count = 12;
    snapshot.exchanges.sumSeconds = 0.75;
    const auto samples = Samples(PrometheusText(snapshot));
    const std::string name = "quorvellan_exchange_duration_seconds";
    EXPECT_EQ(samples.at(name + "_bucket{serial=\"TM-2\",le=\"0.0001\"}"), "5");
    EXPECT_EQ(samples.at(name + "_bucket{serial=\"TM-2\",le=\"0.0005\"}"), "7");
    EXPECT_EQ(samples.at(name + "_bucket{serial=\"TM-2\",le=\"0.25\"}"), "8");
    EXPECT_EQ(samples.at(name + "_bucket{serial=\"TM-2\",le=\"+Inf\"}"), "12");
    EXPECT_EQ(samples.at(name + "_count{serial=\"TM-2\"}"), "12");
    EXPECT_EQ(samples.at(name + "_sum{serial=\"TM-2\"}"), "0.75");
}

}  // namespace

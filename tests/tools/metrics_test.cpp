// The monitor's /metrics text: each value under its own name, the serial
// number as an escaped label, NaN where nothing is known yet, the exchange
// histogram cumulative with _count equal to +Inf. (promtool checks the real
// output's format in prometheus_test.)
#include <limits>
#include <map>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "tools/monitor/metrics.hpp"

namespace {

using quorvellan::monitor::MetricsSnapshot;

// "name{labels}" -> value text of every sample line.
std::map<std::string, std::string> Samples(const MetricsSnapshot& snapshot) {
    std::map<std::string, std::string> samples;
    std::istringstream lines(quorvellan::monitor::PrometheusText(snapshot));
    for (std::string line; std::getline(lines, line);)
        if (line[0] != '#') samples[line.substr(0, line.rfind(' '))] = line.substr(line.rfind(' ') + 1);
    return samples;
}

TEST(Metrics, EachValueUnderItsOwnName) {
    MetricsSnapshot snapshot;
    snapshot.sample = {1, 1'000'000'000, QUORVELLAN_STREAM_CONNECTED, 0, {}, {}, 0.0, {}, 1, 1, {}, 1234, 7, 3, 2};
    snapshot.nowNs = 1'250'000'000;
    snapshot.pollRateHz = 249.5;
    snapshot.pollRateTargetHz = 250.0;
    snapshot.serial = "TM-1";
    snapshot.exchanges = {12, 0.75, {0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                                     std::numeric_limits<double>::infinity()},
                          {5, 0, 2, 0, 0, 0, 0, 0, 0, 0, 1, 4}};
    const std::map<std::string, std::string> expected = {
        {"quorvellan_treadmill_connected", "1"}, {"quorvellan_reconnects_total", "3"},
        {"quorvellan_failed_reads_total", "7"}, {"quorvellan_exchanges_total", "1234"},
        {"quorvellan_dropped_commands_total", "2"}, {"quorvellan_sample_age_seconds", "0.25"},
        {"quorvellan_poll_rate_hertz", "249.5"}, {"quorvellan_poll_rate_target_hertz", "250"},
        {"quorvellan_exchange_duration_seconds_sum", "0.75"}, {"quorvellan_exchange_duration_seconds_count", "12"}};
    const auto samples = Samples(snapshot);
    for (const auto& [name, value] : expected) EXPECT_EQ(samples.at(name + "{serial=\"TM-1\"}"), value) << name;
    EXPECT_EQ(samples.at("quorvellan_stream_state{serial=\"TM-1\",state=\"connected\"}"), "1");
    EXPECT_EQ(samples.at("quorvellan_stream_state{serial=\"TM-1\",state=\"lost\"}"), "0");
    const std::string bucket = "quorvellan_exchange_duration_seconds_bucket{serial=\"TM-1\",le=";
    for (const auto& [le, count] : std::map<std::string, std::string>{
             {"0.0001", "5"}, {"0.0005", "7"}, {"0.1", "7"}, {"0.25", "8"}, {"+Inf", "12"}})
        EXPECT_EQ(samples.at(bucket + "\"" + le + "\"}"), count) << le;
}

TEST(Metrics, NothingReadYetIsNaNAndTheSerialIsEscaped) {
    MetricsSnapshot snapshot;
    snapshot.sample.state = QUORVELLAN_STREAM_CONNECTING;
    snapshot.sample.lastStatus = -1;
    snapshot.pollRateHz = std::numeric_limits<double>::quiet_NaN();
    snapshot.serial = "a\"b\\c\nd";
    const auto samples = Samples(snapshot);
    const std::string label = "{serial=\"a\\\"b\\\\c\\nd\"}";
    EXPECT_EQ(samples.at("quorvellan_treadmill_connected" + label), "0");
    EXPECT_EQ(samples.at("quorvellan_sample_age_seconds" + label), "NaN");
    EXPECT_EQ(samples.at("quorvellan_poll_rate_hertz" + label), "NaN");
    EXPECT_EQ(samples.at("quorvellan_last_connect_status" + label), "-1");
}

}  // namespace

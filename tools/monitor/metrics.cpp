#include "tools/monitor/metrics.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "stream/state_names.hpp"

namespace quorvellan::monitor {

namespace {

// Label values escape backslash, quote and newline.
std::string LabelValue(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        if (c == '\\') escaped += "\\\\";
        else if (c == '"') escaped += "\\\"";
        else if (c == '\n') escaped += "\\n";
        else escaped += c;
    }
    return escaped;
}

std::string Number(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    // The shortest text that reads back as the same double (0.0005, not 0.00050000000000000001).
    char text[32];
    for (int digits = 15; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        if (std::strtod(text, nullptr) == value) break;
    }
    return text;
}

class Exposition {
public:
    explicit Exposition(const std::string& serial) : serialLabel("serial=\"" + LabelValue(serial) + "\"") {}

    void Family(const char* name, const char* type, const char* help) {
        text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void Value(const std::string& name, const std::string& value, const std::string& labels = "") {
        text += name + "{" + serialLabel + (labels.empty() ? "" : "," + labels) + "} " + value + "\n";
    }
    void Counter(const char* name, const char* help, std::uint64_t value) {
        Family(name, "counter", help);
        Value(name, std::to_string(value));
    }
    void Gauge(const char* name, const char* help, double value) {
        Family(name, "gauge", help);
        Value(name, Number(value));
    }

    std::string text;

private:
    const std::string serialLabel;
};

void Histogram(Exposition& out, const QuorvellanStreamExchangeHistogram& histogram) {
    const char* name = "quorvellan_exchange_duration_seconds";
    out.Family(name, "histogram",
               "Time of each exchange of a poll, from the request's write to the reply's read or the read deadline.");
    std::uint64_t cumulative = 0;
    for (int i = 0; i < QUORVELLAN_STREAM_EXCHANGE_BUCKETS; ++i) {
        cumulative += histogram.bucketCounts[i];
        out.Value(std::string(name) + "_bucket", std::to_string(cumulative),
                  "le=\"" + Number(histogram.upperBoundSeconds[i]) + "\"");
    }
    out.Value(std::string(name) + "_sum", Number(histogram.sumSeconds));
    out.Value(std::string(name) + "_count", std::to_string(cumulative));
}

}  // namespace

std::string PrometheusText(const MetricsSnapshot& snapshot) {
    const QuorvellanStreamSample& sample = snapshot.sample;
    Exposition out(snapshot.serial);
    out.Gauge("quorvellan_treadmill_connected", "1 while the stream is connected to the treadmill's controller, else 0.",
              sample.state == QUORVELLAN_STREAM_CONNECTED ? 1.0 : 0.0);
    out.Family("quorvellan_stream_state", "gauge", "The stream's connection state: 1 for the current one.");
    for (int state = QUORVELLAN_STREAM_CONNECTING; state <= QUORVELLAN_STREAM_WRONG_CONTROLLER; ++state)
        out.Value("quorvellan_stream_state", sample.state == state ? "1" : "0",
                  std::string("state=\"") + stream::StateName(state) + "\"");
    out.Gauge("quorvellan_last_connect_status", "Status code of the last connect attempt (0 connected), -1 before one.",
              sample.lastStatus);
    out.Counter("quorvellan_reconnects_total", "Connections made after a connection was lost.", sample.reconnects);
    out.Counter("quorvellan_exchanges_total", "Exchanges attempted with the controller.", sample.exchanges);
    out.Counter("quorvellan_failed_reads_total", "Polls whose reply could not be read.", sample.failedReads);
    out.Counter("quorvellan_dropped_commands_total", "Brake and run-state commands dropped while disconnected.",
                sample.droppedCommands);
    out.Counter("quorvellan_samples_total", "Samples the stream published: one per poll, failed read or state change.",
                sample.sequence);
    out.Gauge("quorvellan_sample_age_seconds", "Age of the newest values read from the controller; NaN before any.",
              sample.timeNs == 0 || sample.timeNs == snapshot.startNs
                  ? std::numeric_limits<double>::quiet_NaN()
                  : static_cast<double>(snapshot.nowNs - sample.timeNs) * 1e-9);
    out.Gauge("quorvellan_poll_rate_hertz", "Samples per second the stream achieved between scrapes; NaN at first.",
              snapshot.pollRateHz);
    out.Gauge("quorvellan_poll_rate_target_hertz", "Polls per second the stream was asked for.",
              snapshot.pollRateTargetHz);
    Histogram(out, snapshot.exchanges);
    return out.text;
}

StreamMetrics::StreamMetrics(const QuorvellanStream* stream, double pollRateTargetHz)
    : stream(stream), pollRateTargetHz(pollRateTargetHz), pollRateHz(std::numeric_limits<double>::quiet_NaN()) {
    QuorvellanStreamSample first;
    QuorvellanStreamLatest(stream, &first);
    NoteStart(first);
}

// Until its first connection a stream has read nothing, and its samples carry
// the time it started.
void StreamMetrics::NoteStart(const QuorvellanStreamSample& sample) {
    if (sample.state == QUORVELLAN_STREAM_CONNECTING) startNs = sample.timeNs;
}

std::string StreamMetrics::Render() {
    std::lock_guard<std::mutex> lock(mutex);
    if (!stream) return "";
    MetricsSnapshot snapshot;
    QuorvellanStreamLatest(stream, &snapshot.sample);
    QuorvellanStreamExchangeTimes(stream, &snapshot.exchanges);
    snapshot.nowNs = QuorvellanStreamClockNs();
    NoteStart(snapshot.sample);
    snapshot.startNs = startNs;
    if (snapshot.sample.serialNumber[0] != '\0') serial = snapshot.sample.serialNumber;
    if (rateSinceNs == 0) {
        rateSinceNs = snapshot.nowNs;
        rateSinceSequence = snapshot.sample.sequence;
    } else if (snapshot.nowNs - rateSinceNs >= kRateWindowNs) {
        pollRateHz = static_cast<double>(snapshot.sample.sequence - rateSinceSequence) * 1e9 /
                     static_cast<double>(snapshot.nowNs - rateSinceNs);
        rateSinceNs = snapshot.nowNs;
        rateSinceSequence = snapshot.sample.sequence;
    }
    snapshot.pollRateHz = pollRateHz;
    snapshot.pollRateTargetHz = pollRateTargetHz;
    snapshot.serial = serial;
    return PrometheusText(snapshot);
}

void StreamMetrics::Detach() {
    std::lock_guard<std::mutex> lock(mutex);
    stream = nullptr;
}

}  // namespace quorvellan::monitor

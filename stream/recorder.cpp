#include "stream/recorder.hpp"

#include <cerrno>
#include <cstring>
#include <chrono>
#include <ctime>
#include <vector>

#include <nlohmann/json.hpp>

namespace quorvellan::stream {

using nlohmann::json;

namespace {

constexpr std::int64_t kFlushEveryNs = 100'000'000;

// The wall-clock start, so a recording can be matched with other logs.
std::string UtcNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
#if defined(_WIN32)
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[40];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(millis));
    return text;
}

}  // namespace

const char* StateName(std::int32_t state) {
    switch (state) {
        case QUORVELLAN_STREAM_CONNECTING: return "connecting";
        case QUORVELLAN_STREAM_CONNECTED: return "connected";
        case QUORVELLAN_STREAM_LOST: return "lost";
        case QUORVELLAN_STREAM_CONTROLLER_TOO_OLD: return "controller too old";
        case QUORVELLAN_STREAM_WRONG_CONTROLLER: return "wrong controller";
        default: return "stopped";
    }
}

std::unique_ptr<Recorder> Recorder::Open(const std::string& path, const QuorvellanStreamOptions& options,
                                         std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    std::unique_ptr<Recorder> recorder(new Recorder(file, QuorvellanStreamClockNs()));
    recorder->Write(json{{"format", "quorvellan-recording"},
                     {"version", kFormatVersion},
                     {"startTime", UtcNow()},
                     {"local", options.local != 0},
                     {"pollRateHz", options.pollRateHz}}
                        .dump(),
                    true);
    return recorder;
}

Recorder::~Recorder() { std::fclose(file); }

void Recorder::Sample(const QuorvellanStreamSample& sample) {
    Write(json{{"t", SecondsAt(sample.timeNs)},
           {"event", "sample"},
           {"floorSpeed", {sample.floorSpeeds.x, sample.floorSpeeds.y}},
           {"ring", {sample.ring.x, sample.ring.y, sample.ring.z}},
           {"running", sample.running != 0},
           {"runningUnlocked", sample.runningUnlocked != 0}}
              .dump(),
          false);
}

void Recorder::Connection(const QuorvellanStreamSample& sample) {
    Write(json{{"t", SecondsAt(QuorvellanStreamClockNs())},
           {"event", "connection"},
           {"state", StateName(sample.state)},
           {"status", sample.lastStatus},
           {"serial", sample.serialNumber},
           {"reconnects", sample.reconnects}}
              .dump(),
          true);
}

namespace {

json CommandLine(double seconds, const char* name, json value) {
    return {{"t", seconds}, {"event", "command"}, {"command", name}, {"value", std::move(value)}};
}

}  // namespace

void Recorder::Command(const char* name, bool value) {
    Write(CommandLine(SecondsAt(QuorvellanStreamClockNs()), name, value).dump(), false);
}

void Recorder::Command(const char* name, const double* values, std::size_t count) {
    Write(CommandLine(SecondsAt(QuorvellanStreamClockNs()), name, std::vector<double>(values, values + count)).dump(), false);
}

void Recorder::FailedRead(const QuorvellanStreamSample& sample) {
    Write(json{{"t", SecondsAt(QuorvellanStreamClockNs())}, {"event", "failedRead"}, {"failedReads", sample.failedReads}}
              .dump(),
          false);
}

void Recorder::Write(const std::string& line, bool flush) {
    const std::string text = line + '\n';
    bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    const std::int64_t now = QuorvellanStreamClockNs();
    if (ok && (flush || now - lastFlushNs >= kFlushEveryNs)) {
        ok = std::fflush(file) == 0;
        lastFlushNs = now;
    }
    if (ok) {
        written.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    // Buffered lines may be lost with this one; the count is a lower bound.
    lastError.store(errno, std::memory_order_relaxed);
    lost.fetch_add(1, std::memory_order_relaxed);
    std::clearerr(file);
}

void Recorder::Status(QuorvellanStreamRecordingStatus& status) const {
    status.recording = 1;
    status.lastError = lastError.load(std::memory_order_relaxed);
    status.linesWritten = written.load(std::memory_order_relaxed);
    status.linesLost = lost.load(std::memory_order_relaxed);
}

}  // namespace quorvellan::stream

// The stream's C entry points: validation, the one-stream-per-process rule,
// and the handle around the poll thread.
#include "stream/QuorvellanStream.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <memory>
#include <new>
#include <system_error>

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include "stream/core_loader.hpp"
#include "stream/poller.hpp"
#include "stream/utf8_paths.hpp"

struct QuorvellanStream {
    explicit QuorvellanStream(const QuorvellanStreamOptions& options) : poller(options) {}
    quorvellan::stream::Poller poller;
#if !defined(_WIN32)
    // The process that started the stream: after fork, its threads live only there.
    const pid_t owner = getpid();
#endif
};

namespace {

using quorvellan::stream::OrderedCommand;

// The core has one session per process, so one stream may drive it at a time.
std::atomic<bool> streamRunning{false};

constexpr std::int32_t kLongestBackOffMs = 60000;

bool ValidOptions(const QuorvellanStreamOptions& options) {
    return options.reconnectMinMs >= 1 && options.reconnectMinMs <= kLongestBackOffMs &&
           options.reconnectMaxMs >= options.reconnectMinMs && options.reconnectMaxMs <= kLongestBackOffMs &&
           options.pollRateHz >= 1.0 && options.pollRateHz <= 1000.0 && options.reserved == 0;
}

// The file asked for, else $QUORVELLAN_RECORD; empty: no recording.
std::string RecordingPath(const char* recordPath) {
    if (recordPath && recordPath[0] != '\0') return recordPath;
    return quorvellan::stream::EnvironmentValue("QUORVELLAN_RECORD");
}

int StartPoller(const QuorvellanStreamOptions& options, const std::string& recordPath, QuorvellanStream** stream) {
    try {
        auto created = std::make_unique<QuorvellanStream>(options);
        if (!recordPath.empty()) created->poller.RecordTo(recordPath);
        created->poller.Start();
        *stream = created.release();
        return QUORVELLAN_STREAM_OK;
    } catch (const std::bad_alloc&) {
    } catch (const std::system_error&) {
    }
    return QUORVELLAN_STREAM_ERROR_NO_RESOURCES;
}

int Queue(QuorvellanStream* stream, OrderedCommand command) {
    if (!stream) return 0;
    try {
        if (!stream->poller.Commands().Queue(command)) return 0;
    } catch (const std::exception&) {
        return 0;
    }
    stream->poller.Wake();
    return 1;
}

}  // namespace

extern "C" {

QUORVELLAN_STREAM_API void QuorvellanStreamDefaultOptions(QuorvellanStreamOptions* options) {
    if (!options) return;
    options->local = 1;
    options->reconnectMinMs = 100;
    options->reconnectMaxMs = 1000;
    options->reserved = 0;
    options->pollRateHz = 250.0;
}

QUORVELLAN_STREAM_API int QuorvellanStreamStart(const QuorvellanStreamOptions* options, QuorvellanStream** stream) {
    return QuorvellanStreamStartRecording(options, nullptr, stream);
}

QUORVELLAN_STREAM_API int QuorvellanStreamStartRecording(const QuorvellanStreamOptions* options,
                                                         const char* recordPath, QuorvellanStream** stream) {
    QuorvellanStreamOptions chosen;
    QuorvellanStreamDefaultOptions(&chosen);
    if (options) chosen = *options;
    if (!stream || !ValidOptions(chosen)) return QUORVELLAN_STREAM_ERROR_BAD_OPTIONS;
    *stream = nullptr;
    bool expected = false;
    if (!streamRunning.compare_exchange_strong(expected, true)) return QUORVELLAN_STREAM_ERROR_ALREADY_RUNNING;
    if (!quorvellan::stream::LoadCore()) {
        streamRunning.store(false);
        return QUORVELLAN_STREAM_ERROR_NO_CORE;
    }
    int result = QUORVELLAN_STREAM_ERROR_NO_RESOURCES;
    try {
        result = StartPoller(chosen, RecordingPath(recordPath), stream);
    } catch (const std::bad_alloc&) {
    }
    if (result != QUORVELLAN_STREAM_OK) streamRunning.store(false);
    return result;
}

QUORVELLAN_STREAM_API const char* QuorvellanStreamErrorText(int result) {
    switch (result) {
        case QUORVELLAN_STREAM_OK: return "started";
        case QUORVELLAN_STREAM_ERROR_ALREADY_RUNNING: return "a stream is already running in this process; stop it first";
        case QUORVELLAN_STREAM_ERROR_BAD_OPTIONS:
            return "bad options: reconnect back-off 1..60000 ms (min <= max), poll rate 1..1000 Hz, reserved 0";
        case QUORVELLAN_STREAM_ERROR_NO_RESOURCES: return "out of memory or threads";
        case QUORVELLAN_STREAM_ERROR_NO_CORE:
            return "QuorvellanAPI.dll is neither loaded, nor beside QuorvellanStream.dll, nor on the DLL search path";
        default: return "unknown result";
    }
}

QUORVELLAN_STREAM_API void QuorvellanStreamStop(QuorvellanStream* stream) {
    if (!stream) return;
#if !defined(_WIN32)
    if (stream->owner != getpid()) {
        // A child of fork holds a copy of the parent's stream: its poll and
        // writer threads do not exist here, its mutexes may have been copied
        // locked, and the connection is the parent's. Nothing of it may be
        // waited for, destroyed or disconnected, so the copy is left as it is.
        streamRunning.store(false);
        return;
    }
#endif
    stream->poller.Stop();
    delete stream;
    streamRunning.store(false);
}

QUORVELLAN_STREAM_API void QuorvellanStreamLatest(const QuorvellanStream* stream, QuorvellanStreamSample* sample) {
    if (!sample) return;
    if (!stream) {
        std::memset(sample, 0, sizeof *sample);
        sample->lastStatus = -1;
        return;
    }
    stream->poller.Latest(*sample);
}

QUORVELLAN_STREAM_API void QuorvellanStreamRecording(const QuorvellanStream* stream,
                                                     QuorvellanStreamRecordingStatus* status) {
    if (!status) return;
    std::memset(status, 0, sizeof *status);
    if (stream) stream->poller.RecordingStatus(*status);
}

QUORVELLAN_STREAM_API void QuorvellanStreamExchangeTimes(const QuorvellanStream* stream,
                                                         QuorvellanStreamExchangeHistogram* histogram) {
    if (!histogram) return;
    std::memset(histogram, 0, sizeof *histogram);
    if (stream) stream->poller.ExchangeTimes().Read(*histogram);
}

QUORVELLAN_STREAM_API int64_t QuorvellanStreamClockNs(void) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch()).count();
}

QUORVELLAN_STREAM_API void QuorvellanStreamSetUserPosition(QuorvellanStream* stream, double x, double y) {
    if (stream) stream->poller.Commands().SetPosition(x, y);
}

QUORVELLAN_STREAM_API void QuorvellanStreamSetUserRotation(QuorvellanStream* stream, double w, double x, double y,
                                                           double z) {
    if (stream) stream->poller.Commands().SetRotation(w, x, y, z);
}

QUORVELLAN_STREAM_API void QuorvellanStreamSetManualSpeeds(QuorvellanStream* stream, double x, double y) {
    if (stream) stream->poller.Commands().SetManualSpeeds(x, y);
}

QUORVELLAN_STREAM_API int QuorvellanStreamSetBrake(QuorvellanStream* stream, int applied) {
    return Queue(stream, OrderedCommand{OrderedCommand::Kind::kBrake, applied != 0});
}

QUORVELLAN_STREAM_API int QuorvellanStreamSetRunState(QuorvellanStream* stream, int enabled) {
    return Queue(stream, OrderedCommand{OrderedCommand::Kind::kRunState, enabled != 0});
}

}  // extern "C"

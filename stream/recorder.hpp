// Writes what a stream sees and does to a JSON Lines file (the format is
// described in docs/recording-format.md). Only the poll thread writes; the
// counters are atomic so any thread may read the status. The JSON library
// stays inside recorder.cpp, out of the stream's described interface. A failed write is
// counted and never stops the stream.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "stream/QuorvellanStream.h"

namespace quorvellan::stream {

class Recorder {
public:
    static constexpr int kFormatVersion = 1;

    // Opens `path` for writing and writes the first line. Returns null when the
    // file cannot be created; `error` then says why.
    static std::unique_ptr<Recorder> Open(const std::string& path, const QuorvellanStreamOptions& options,
                                          std::string& error);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    void Sample(const QuorvellanStreamSample& sample);
    void Connection(const QuorvellanStreamSample& sample);
    // A brake or run-state command, and a coalesced one with its numbers.
    void Command(const char* name, bool value);
    void Command(const char* name, const double* values, std::size_t count);
    void FailedRead(const QuorvellanStreamSample& sample);

    void Status(QuorvellanStreamRecordingStatus& status) const;

private:
    Recorder(std::FILE* file, std::int64_t startNs) : file(file), startNs(startNs) {}
    double SecondsAt(std::int64_t clockNs) const { return static_cast<double>(clockNs - startNs) / 1e9; }
    // Writes one line (a JSON object's text); flushes at most every 100 ms
    // unless `flush`.
    void Write(const std::string& line, bool flush);

    std::FILE* file;
    const std::int64_t startNs;
    std::int64_t lastFlushNs = 0;
    std::atomic<std::uint64_t> written{0};
    std::atomic<std::uint64_t> lost{0};
    std::atomic<int> lastError{0};
};

// The words for a sample's state, as written in recordings.
const char* StateName(std::int32_t state);

}  // namespace quorvellan::stream

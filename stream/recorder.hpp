// Writes what a stream sees and does to a JSON Lines file (the format is
// described in docs/recording-format.md). The poll thread only queues lines;
// a writer thread of the recorder's own opens the file and writes them, so a
// file that blocks (a FIFO nobody reads, a stalled network file system) never
// holds up polling or Stop. The queue is bounded: lines it cannot take are
// dropped and counted. The JSON library stays inside recorder.cpp, out of the
// stream's described interface. A failed write is counted and never stops the
// stream.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "stream/QuorvellanStream.h"

namespace quorvellan::stream {

class Recorder {
public:
    static constexpr int kFormatVersion = 1;

    // Starts the writer thread, which opens `path` (appending a new segment)
    // and writes the header line. Returns at once; a file that cannot be
    // opened shows in Status. Raises std::system_error when no thread can be
    // started.
    static std::unique_ptr<Recorder> Start(const std::string& path, const QuorvellanStreamOptions& options);
    // Lets the writer write what is queued, waiting for it at most 50 ms; a
    // writer still blocked on the file then is left to end by itself.
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

    struct Shared;  // what the writer thread owns with the recorder

private:
    explicit Recorder(std::shared_ptr<Shared> shared) : shared(std::move(shared)) {}
    double SecondsAt(std::int64_t clockNs) const;
    // Queues one line (a JSON object's text); `soon` wakes the writer now
    // rather than at its next round.
    void Queue(std::string line, bool soon);

    std::shared_ptr<Shared> shared;
    std::thread writer;
};

}  // namespace quorvellan::stream

// The stream's poll thread: connects with back-off, sends the game's commands,
// polls the controller at a fixed rate and publishes each result as a sample.
// It is the only caller of the core's entry points while it runs.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "stream/QuorvellanStream.h"
#include "stream/command_box.hpp"
#include "stream/exchange_times.hpp"
#include "stream/recorder.hpp"
#include "stream/sample_slot.hpp"

namespace quorvellan::stream {

class Poller {
public:
    using Clock = std::chrono::steady_clock;

    explicit Poller(const QuorvellanStreamOptions& options);
    ~Poller();
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    // Starts the thread; raises std::system_error when it cannot.
    void Start();
    // Ends the thread, bounded even while it is inside a blocking export.
    void Stop();

    void Latest(QuorvellanStreamSample& sample) const;
    CommandBox& Commands() { return commands; }
    // Wakes the thread so that queued brake / run-state commands leave now.
    void Wake();

    // Before Start: write what the stream sees to `path` (opened by the
    // recorder's own thread: a failed open is reported by RecordingStatus,
    // the stream runs all the same).
    void RecordTo(const std::string& path);
    void RecordingStatus(QuorvellanStreamRecordingStatus& status) const;
    const stream::ExchangeTimes& ExchangeTimes() const { return exchangeTimes; }

private:
    void Run();
    bool Connect();
    void ReadSerialNumber();
    // True when the connection gave at least one good poll before it ended.
    bool PollWhileConnected();
    bool SendCommands();
    bool Poll();
    void LoseConnection();
    void ClearReadings();
    void Publish();
    // Records the state when it differs from the last one recorded.
    void RecordConnection();
    // Waits until `until`, the stop request, or (with forCommands) a queued
    // ordered command; false when stopping.
    bool SleepUntil(Clock::time_point until, bool forCommands);
    bool Stopping() const { return stopping.load(std::memory_order_acquire); }
    bool WaitFinished(std::chrono::milliseconds timeout);

    const QuorvellanStreamOptions options;
    const Clock::duration pollPeriod;
    QuorvellanStreamSample current{};  // the poll thread's working copy
    bool everConnected = false;
    std::uint64_t goodPolls = 0;
    SampleSlot<QuorvellanStreamSample> slot;
    CommandBox commands;
    stream::ExchangeTimes exchangeTimes;
    std::unique_ptr<Recorder> recorder;
    std::int32_t recordedState = -1;
    std::int32_t recordedStatus = -2;

    std::atomic<bool> stopping{false};
    std::mutex wakeMutex;
    std::condition_variable wake;
    bool finished = false;  // guarded by wakeMutex
    std::thread thread;
};

}  // namespace quorvellan::stream

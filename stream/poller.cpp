#include "stream/poller.hpp"

#include "stream/core_loader.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace quorvellan::stream {

namespace {

// The core's documented rules, applied to the raw speeds of one reply.
constexpr double kNormalisationDivisor = 1.5;
constexpr double kNormalisedLimit = 1.5;
// GetRing's w after a good read; 0 on any failure.
constexpr double kRingW = 0.45;

double Normalise(double raw) {
    const double value = raw / kNormalisationDivisor;
    return std::fabs(value) > kNormalisedLimit ? std::copysign(kNormalisedLimit, value) : value;
}

std::int32_t StateAfterFailedConnect(int status, bool everConnected) {
    switch (status) {
        case QUORVELLAN_STATUS_VERSION_TOO_OLD: return QUORVELLAN_STREAM_CONTROLLER_TOO_OLD;
        case QUORVELLAN_STATUS_NOT_LOCAL_CONTROLLER:
        case QUORVELLAN_STATUS_NOT_REMOTE_CONTROLLER: return QUORVELLAN_STREAM_WRONG_CONTROLLER;
        default: return everConnected ? QUORVELLAN_STREAM_LOST : QUORVELLAN_STREAM_CONNECTING;
    }
}

// Position, rotation and manual speeds as they leave with the next exchange.
void RecordCoalesced(Recorder& recorder, const CommandBatch& batch) {
    if (batch.position) recorder.Command("userPosition", batch.position->data(), batch.position->size());
    if (batch.rotation) recorder.Command("userRotation", batch.rotation->data(), batch.rotation->size());
    if (batch.manualSpeeds) recorder.Command("manualSpeeds", batch.manualSpeeds->data(), batch.manualSpeeds->size());
}

// How much of `text` fits in `room` bytes without ending inside a UTF-8
// character: a cut one is left out whole (a character takes 4 bytes at most).
std::size_t Utf8Fit(std::string_view text, std::size_t room) {
    if (text.size() <= room) return text.size();
    const auto continues = [&](std::size_t at) { return (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80; };
    std::size_t cut = room;
    for (int back = 0; back < 3 && cut > 0 && continues(cut); ++back) --cut;
    return cut;
}

Poller::Clock::duration PeriodOf(double rateHz) {
    return std::chrono::duration_cast<Poller::Clock::duration>(std::chrono::duration<double>(1.0 / rateHz));
}

}  // namespace

Poller::Poller(const QuorvellanStreamOptions& options)
    : options(options), pollPeriod(PeriodOf(options.pollRateHz)) {
    current.state = QUORVELLAN_STREAM_CONNECTING;
    current.lastStatus = -1;
    current.timeNs = QuorvellanStreamClockNs();  // an age read before the first poll counts from here
    Publish();
}

Poller::~Poller() {
    if (thread.joinable()) Stop();
}

// An exception leaving the thread would end the application: one from the
// poll thread's work (no memory, say) ends polling instead, the game is told
// the connection is gone, and Stop still finds the thread finished.
void Poller::Start() {
    thread = std::thread([this] {
        try {
            Run();
        } catch (...) {
            commands.Accept(false);
            DeInitInternal();
            current.state = QUORVELLAN_STREAM_LOST;
            ClearReadings();
            Publish();
        }
        {
            std::lock_guard<std::mutex> lock(wakeMutex);
            finished = true;
        }
        wake.notify_all();
    });
}

// The poll thread may be inside InitInternal (up to 3 s) or waiting for a
// reply (100 ms): DeInitInternal ends that wait from here. It is repeated
// because the thread may enter another export just after one call.
void Poller::Stop() {
    {
        std::lock_guard<std::mutex> lock(wakeMutex);
        stopping.store(true, std::memory_order_release);
    }
    wake.notify_all();
    if (!WaitFinished(std::chrono::milliseconds(5))) {
        do {
            DeInitInternal();
        } while (!WaitFinished(std::chrono::milliseconds(10)));
    }
    thread.join();
    recorder.reset();  // bounded: a writer blocked on the file is left behind
}

bool Poller::WaitFinished(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(wakeMutex);
    return wake.wait_for(lock, timeout, [this] { return finished; });
}

void Poller::Wake() {
    { std::lock_guard<std::mutex> lock(wakeMutex); }
    wake.notify_all();
}

void Poller::Latest(QuorvellanStreamSample& sample) const {
    slot.Read(sample);
    sample.droppedCommands = commands.Dropped();
}

void Poller::RecordTo(const std::string& path) { recorder = Recorder::Start(path, options); }

void Poller::RecordingStatus(QuorvellanStreamRecordingStatus& status) const {
    std::memset(&status, 0, sizeof status);
    if (recorder) recorder->Status(status);
}

void Poller::RecordConnection() {
    if (!recorder || (current.state == recordedState && current.lastStatus == recordedStatus)) return;
    recordedState = current.state;
    recordedStatus = current.lastStatus;
    recorder->Connection(current);
}

void Poller::Run() {
    const auto minimum = std::chrono::milliseconds(options.reconnectMinMs);
    const auto maximum = std::chrono::milliseconds(options.reconnectMaxMs);
    auto backOff = minimum;
    while (!Stopping()) {
        // A connection that gives no good poll (a controller that answers the
        // handshake, then hangs) counts as a failed attempt: back off. After a
        // connection that worked, the first attempt is immediate.
        if (Connect() && PollWhileConnected()) {
            backOff = minimum;
            continue;
        }
        if (!SleepUntil(Clock::now() + backOff, false)) break;
        backOff = std::min(backOff * 2, maximum);
    }
    commands.Accept(false);
    DeInitInternal();
    if (recorder) {
        current.state = QUORVELLAN_STREAM_STOPPED;
        RecordConnection();
    }
}

bool Poller::Connect() {
    int status = -1;
    ++current.exchanges;  // the handshake
    const bool connected = InitInternal(&status, options.local != 0) == 1;
    if (Stopping()) return false;
    current.lastStatus = status;
    if (!connected) {
        current.state = StateAfterFailedConnect(status, everConnected);
        Publish();
        RecordConnection();
        return false;
    }
    ReadSerialNumber();
    if (everConnected) ++current.reconnects;
    everConnected = true;
    current.state = QUORVELLAN_STREAM_CONNECTED;
    commands.Accept(true);
    // Published with the first poll, so that a connected sample always
    // carries readings of this connection.
    RecordConnection();
    return true;
}

// Once per connection; the record keeps a copy, the core's buffer is freed.
void Poller::ReadSerialNumber() {
    ++current.exchanges;
    const char* serial = GetTreadmillSerialNumber();
    std::memset(current.serialNumber, 0, sizeof current.serialNumber);
    if (serial[0] == '\0') return;  // the core's constant: never freed
    std::memcpy(current.serialNumber, serial, Utf8Fit(serial, sizeof current.serialNumber - 1));
    std::free(const_cast<char*>(serial));
}

bool Poller::PollWhileConnected() {
    const std::uint64_t goodBefore = goodPolls;
    Clock::time_point next = Clock::now();
    while (!Stopping()) {
        if (!SendCommands() || !Poll()) {
            if (!Stopping()) LoseConnection();
            break;
        }
        // After a stall the schedule restarts from now rather than catching up.
        next = std::max(next + pollPeriod, Clock::now());
        if (!SleepUntil(next, true)) break;
    }
    return goodPolls != goodBefore;
}

// Coalesced values join the next exchange; brake and run state each take one
// exchange, in order. Returns false once the connection is gone; what was
// not sent then is dropped and counted.
bool Poller::SendCommands() {
    CommandBatch batch = commands.Take();
    const CoreCommands& core = BoundCoreCommands();
    if (batch.position) core.setUserPosition((*batch.position)[0], (*batch.position)[1]);
    if (batch.rotation) {
        const auto& q = *batch.rotation;
        core.setUserRotation(q[0], q[1], q[2], q[3]);
    }
    if (batch.manualSpeeds) core.setManualSpeeds((*batch.manualSpeeds)[0], (*batch.manualSpeeds)[1]);
    if (recorder) RecordCoalesced(*recorder, batch);
    while (!batch.ordered.empty()) {
        if (Stopping() || CheckConnection() != 1) {
            commands.CountDropped(batch.ordered.size());
            return false;
        }
        const OrderedCommand command = batch.ordered.front();
        batch.ordered.pop_front();
        ++current.exchanges;
        if (recorder) recorder->Command(command.kind == OrderedCommand::Kind::kBrake ? "brake" : "runState", command.value);
        if (command.kind == OrderedCommand::Kind::kBrake) {
            SetBrake(command.value);
        } else {
            SetTreadmillRunState(command.value);
        }
    }
    return CheckConnection() == 1;
}

// One poll: ring, run state, then speeds, so that the speeds a game moves by
// are the newest when the sample is published. The three speed values of the
// sample all come from the one GetFloorSpeeds reply. While running and
// unlocked one run-state query answers both questions; otherwise a second one
// tells a locked treadmill from a stopped one.
bool Poller::Poll() {
    ++current.exchanges;
    const Ring ring = exchangeTimes.Time(GetRing);
    if (Stopping()) return false;
    ++current.exchanges;
    const bool runningUnlocked = exchangeTimes.Time([] { return GetTreadmillRunState(true); });
    bool running = runningUnlocked;
    if (!running && !Stopping()) {
        ++current.exchanges;
        running = exchangeTimes.Time([] { return GetTreadmillRunState(false); });
    }
    if (Stopping()) return false;
    ++current.exchanges;
    const FloorSpeeds speeds = exchangeTimes.Time(GetFloorSpeeds);
    const std::int64_t readAt = QuorvellanStreamClockNs();
    if (Stopping()) return false;
    if (ring.w != kRingW || CheckConnection() != 1) {
        ++current.failedReads;
        Publish();
        if (recorder) recorder->FailedRead(current);
        return CheckConnection() == 1;
    }
    current.timeNs = readAt;
    current.floorSpeeds = speeds;
    current.floorSpeedsNormalized = FloorSpeeds{Normalise(speeds.x), Normalise(speeds.y)};
    current.floorSpeedMagnitude = std::sqrt(speeds.x * speeds.x + speeds.y * speeds.y);
    current.ring = ring;
    current.running = running;
    current.runningUnlocked = runningUnlocked;
    ++goodPolls;
    Publish();
    if (recorder) recorder->Sample(current);
    return true;
}

void Poller::LoseConnection() {
    commands.Accept(false);
    current.state = QUORVELLAN_STREAM_LOST;
    ClearReadings();
    Publish();
    RecordConnection();
}

void Poller::ClearReadings() {
    current.floorSpeeds = FloorSpeeds{0.0, 0.0};
    current.floorSpeedsNormalized = FloorSpeeds{0.0, 0.0};
    current.floorSpeedMagnitude = 0.0;
    current.ring = Ring{0.0, 0.0, 0.0, 0.0};
    current.running = 0;
    current.runningUnlocked = 0;
}

void Poller::Publish() {
    ++current.sequence;
    slot.Publish(current);
}

bool Poller::SleepUntil(Clock::time_point until, bool forCommands) {
    std::unique_lock<std::mutex> lock(wakeMutex);
    wake.wait_until(lock, until, [&] { return Stopping() || (forCommands && commands.HasOrdered()); });
    return !Stopping();
}

}  // namespace quorvellan::stream

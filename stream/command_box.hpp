// Commands given by the game's threads for the poll thread: position,
// rotation and manual speeds keep only their newest value; brake and run
// state wait in order. A short mutex guards both; no I/O happens under it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

namespace quorvellan::stream {

struct OrderedCommand {
    enum class Kind { kBrake, kRunState } kind;
    bool value;
};

// What the poll thread sends next: the newest of each coalesced value (when
// one was given since the last take) and every ordered command, oldest first.
struct CommandBatch {
    std::optional<std::array<double, 2>> position;
    std::optional<std::array<double, 4>> rotation;
    std::optional<std::array<double, 2>> manualSpeeds;
    std::deque<OrderedCommand> ordered;
};

class CommandBox {
public:
    void SetPosition(double x, double y);
    void SetRotation(double w, double x, double y, double z);
    void SetManualSpeeds(double x, double y);

    // Queues the command while accepting; otherwise counts it as dropped.
    bool Queue(OrderedCommand command);

    // The poll thread opens the box once connected and closes it when the
    // connection ends; closing drops (and counts) what is still queued.
    void Accept(bool accepting);

    CommandBatch Take();
    bool HasOrdered() const;
    // Ordered commands taken but not sent because the connection ended.
    void CountDropped(std::size_t count) { dropped += count; }
    // Lock-free, for Latest.
    std::uint64_t Dropped() const { return dropped.load(std::memory_order_relaxed); }

private:
    mutable std::mutex mutex;
    CommandBatch pending;
    bool accepting = false;
    std::atomic<std::uint64_t> dropped{0};
};

}  // namespace quorvellan::stream

#include "stream/command_box.hpp"

#include <utility>

namespace quorvellan::stream {

void CommandBox::SetPosition(double x, double y) {
    std::lock_guard<std::mutex> lock(mutex);
    pending.position = {x, y};
}

void CommandBox::SetRotation(double w, double x, double y, double z) {
    std::lock_guard<std::mutex> lock(mutex);
    pending.rotation = {w, x, y, z};
}

void CommandBox::SetManualSpeeds(double x, double y) {
    std::lock_guard<std::mutex> lock(mutex);
    pending.manualSpeeds = {x, y};
}

bool CommandBox::Queue(OrderedCommand command) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!accepting) {
        ++dropped;
        return false;
    }
    pending.ordered.push_back(command);
    return true;
}

void CommandBox::Accept(bool accept) {
    std::lock_guard<std::mutex> lock(mutex);
    accepting = accept;
    if (accept) return;
    dropped += pending.ordered.size();
    pending.ordered.clear();
}

CommandBatch CommandBox::Take() {
    std::lock_guard<std::mutex> lock(mutex);
    return std::exchange(pending, CommandBatch{});
}

bool CommandBox::HasOrdered() const {
    std::lock_guard<std::mutex> lock(mutex);
    return !pending.ordered.empty();
}

}  // namespace quorvellan::stream

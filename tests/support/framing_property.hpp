// The framing property, shared by a test and a fuzz target: a controller
// answers request k with a reply carrying k, cut into segments, sometimes too
// long for the buffer, sometimes followed by stray bytes; through any number of
// exchanges, every query returns its own request's value or its fallback,
// never another request's.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/test_controller.hpp"

namespace quorvellan::testing {

// How the controller treats one reply.
struct ReplyPlan {
    std::vector<std::size_t> splitAt;  // offsets into the reply, ascending
    std::chrono::milliseconds pieceGap{0};
    bool oversize = false;  // padded past the library's 2048-byte buffer
    std::string stray;      // bytes written after the reply, in a segment of their own
    std::chrono::milliseconds strayGap{0};
};

struct FramingTally {
    int own = 0;         // the request's own value
    int fallback = 0;    // the query's fallback
    int foreign = 0;     // another request's value: the fault
    int reconnects = 0;  // InitInternal calls after the connection ended
    std::vector<std::string> foreignSamples;
};

// Chooses the plan for a reply of `size` bytes; runs on the controller's thread.
using PlanFor = std::function<ReplyPlan(std::size_t size)>;

// Drives `requests` queries through the exports against `controller`,
// reconnecting whenever CheckConnection says 0, as an application would.
FramingTally RunFramingProperty(TestController& controller, PlanFor planFor, int requests);

}  // namespace quorvellan::testing

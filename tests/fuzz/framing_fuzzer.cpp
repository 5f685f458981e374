// Fuzzes what lies between replies, where the reply fuzzer cannot reach: each
// input plans a run of exchanges over real TCP (how each reply is cut, how long
// the pauses are, which replies overflow the buffer, which stray bytes follow
// them), and every query must read its own request's value or its fallback.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "tests/support/framing_property.hpp"

using namespace quorvellan::testing;

namespace {

ReplyPlan PlanFrom(FuzzedDataProvider& input, std::size_t size) {
    ReplyPlan plan;
    for (int cuts = input.ConsumeIntegralInRange(0, 3); cuts > 0; --cuts) {
        plan.splitAt.push_back(input.ConsumeIntegralInRange<std::size_t>(1, size - 1));
    }
    std::sort(plan.splitAt.begin(), plan.splitAt.end());
    // Pauses are short; now and then one outlasts the read deadline.
    const int pause = input.ConsumeIntegralInRange(0, 40);
    plan.pieceGap = std::chrono::milliseconds(pause == 40 ? 120 : pause % 3);
    plan.oversize = input.ConsumeIntegralInRange(0, 15) == 0;
    plan.stray = input.ConsumeBytesAsString(input.ConsumeIntegralInRange<std::size_t>(0, 2));
    plan.strayGap = std::chrono::milliseconds(input.ConsumeIntegralInRange(0, 2));
    return plan;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static TestController controller;  // port 6158, for the whole run
    FuzzedDataProvider input(data, size);
    const int requests = input.ConsumeIntegralInRange(1, 12);
    // The plan is drawn on the controller's thread, which alone reads `input`
    // from here until the run ends.
    const FramingTally tally =
        RunFramingProperty(controller, [&input](std::size_t replySize) { return PlanFrom(input, replySize); }, requests);
    if (tally.foreign > 0) {
        std::fprintf(stderr, "a query read another request's value: %s\n", tally.foreignSamples.front().c_str());
        std::abort();
    }
    return 0;
}

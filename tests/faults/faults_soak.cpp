// The soak: 100,000 mixed calls against a controller that flaps between
// faults (stalls, late, cut, split, oversized and garbage replies, closes,
// resets) and is killed and restarted now and then. It must end with no crash,
// no growth of the heap, every call within its bound, and never a failure
// reported as success. On Windows the controller is stopped rather than killed
// and the heap is not measured.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "api/QuorvellanAPI.h"
#include "tests/faults/faults_support.hpp"

using namespace quorvellan::faults;
using namespace quorvellan::testing;

namespace {

#if defined(_WIN32)
constexpr long kDefaultCalls = 45'000;  // under Wine every call costs more
#else
constexpr long kDefaultCalls = 100'000;
#endif
constexpr long kCallsPerBlock = 1'000;
constexpr long kRestartEvery = 20'000;   // calls between controller kills
constexpr long kCallsDown = 50;          // calls while the controller is away
constexpr int kFaultEvery = 211;         // messages between two faults

long SoakCalls() {
    const char* calls = std::getenv("QUORVELLAN_SOAK_CALLS");
    return calls ? std::max(std::atol(calls), kCallsPerBlock) : kDefaultCalls;
}

// Answers most messages well; every kFaultEvery-th message gets the next
// fault of the round. Runs in the controller's process.
class FlappingAnswer {
public:
    Response operator()(const std::string& message) {
        if (IsHandshakeMessage(message)) return Reply(LocalHandshakeReply());
        if (++count % kFaultEvery != 0) return Reply(kFloorReply);
        Response fault = Reply(kFloorReply);
        switch ((count / kFaultEvery) % 8) {
            case 0: fault.silent = true; break;
            case 1: fault.delay = milliseconds(150); break;
            case 2: fault.close = true; break;
            case 3: fault.reset = true; break;
            case 4: fault.splitAt = {3, 40}; break;
            case 5: fault.text = kFloorReply.substr(0, 30); fault.closeAfterReply = true; break;
            case 6: fault.text = R"({"pad":")" + std::string(3000, 'a') + R"("})"; break;
            default: fault.text = "\x7f garbage"; break;
        }
        return fault;
    }

private:
    long count = 0;
};

#if defined(_WIN32)
// No fork here: the controller runs in this process, and instead of being
// killed it is stopped, which closes its listeners and every connection.
class SoakController {
public:
    explicit SoakController(TestController::Responder responder) { controller.SetResponder(std::move(responder)); }
    void Kill() { controller.Stop(); }

private:
    TestController controller;
};
#else
using SoakController = ControllerProcess;
#endif

struct SoakTally {
    long calls = 0;
    long goodReplies = 0;
    long fallbacks = 0;
    long reconnects = 0;
    long failedReconnects = 0;
    milliseconds slowestCall{0};
    milliseconds slowestInit{0};
};

// One call of the mix; checks that a result is either the controller's real
// answer or the export's fallback, never anything in between.
void MixedCall(long index, SoakTally& tally) {
    bool good = false;
    switch (index % 16) {
        case 0: { FloorSpeeds s = GetFloorSpeeds(); good = s.x == 0.75 && s.y == -1.5;
                  EXPECT_TRUE(good || (s.x == 0.0 && s.y == 0.0)); break; }
        case 1: { FloorSpeeds s = GetFloorSpeedsNormalized(); good = s.x == 0.5 && s.y == -1.0;
                  EXPECT_TRUE(good || (s.x == 0.0 && s.y == 0.0)); break; }
        case 2: { double m = GetFloorSpeedMagnitude(); good = m > 1.67 && m < 1.68;
                  EXPECT_TRUE(good || m == 0.0); break; }
        case 3: { Ring r = GetRing(); good = r.w == 0.45;
                  EXPECT_TRUE(good ? (r.x == 1 && r.y == 2 && r.z == 3) : r.w == 0.0); break; }
        case 4: good = GetTreadmillRunState(false); break;
        case 5: good = GetTreadmillRunState(true); break;
        case 6: { const char* serial = GetTreadmillSerialNumber();
                  good = serial[0] != '\0';
                  if (good) { EXPECT_STREQ(serial, "SN-0042"); std::free(const_cast<char*>(serial)); }
                  break; }
        case 7: SetManualSpeeds(0.1 * (index % 7), -0.2); return;
        case 8: SetUserPosition(1.0, 2.0); return;
        case 9: SetUserRotation(1.0, 0.0, 0.0, 0.0); return;
        case 10: SetBrake(index % 3 == 0); return;
        case 11: SetTreadmillRunState(true); return;
        case 12: EXPECT_FALSE(GetAPILock()); return;
        case 13: SetAPILock(true); return;
        case 14: EXPECT_EQ(GetTreadmillInfo().reserved[0], 0); return;
        default: CheckConnection(); return;
    }
    ++(good ? tally.goodReplies : tally.fallbacks);
}

void ReconnectIfDropped(SoakTally& tally) {
    if (CheckConnection() == 1) return;
    int status = -1;
    int result = 0;
    const milliseconds taken = TimeCall([&] { result = InitInternal(&status, true); });
    tally.slowestInit = std::max(tally.slowestInit, taken);
    EXPECT_LT(taken, kInitBound);
    ++(result == 1 ? tally.reconnects : tally.failedReconnects);
}

}  // namespace

TEST(Soak, MixedCallsAgainstAFlappingController) {
    const long totalCalls = SoakCalls();
    auto controller = std::make_unique<SoakController>(FlappingAnswer());
    SoakTally tally;
#if !defined(_WIN32)
    std::size_t heapAfterWarmUp = 0;
#endif

    ::testing::internal::CaptureStdout();  // the "Error: " lines of the faults
    for (long call = 0; call < totalCalls; ++call) {
        // Now and then the controller dies and stays away for a few calls.
        if (call > 0 && call % kRestartEvery == 0) controller->Kill();
        if (call > kRestartEvery && call % kRestartEvery == kCallsDown) {
            controller = std::make_unique<SoakController>(FlappingAnswer());
        }
#if !defined(_WIN32)
        if (call == kCallsPerBlock * 5) heapAfterWarmUp = HeapInUse();
#endif

        const milliseconds taken = TimeCall([&] { MixedCall(call, tally); });
        tally.slowestCall = std::max(tally.slowestCall, taken);
        EXPECT_LT(taken, kExchangeBound) << "call " << call;
        ++tally.calls;
        ReconnectIfDropped(tally);
        if (::testing::Test::HasFailure()) break;
    }
    const std::string output = ::testing::internal::GetCapturedStdout();

    const long errorLines = std::count(output.begin(), output.end(), '\n');
    std::printf("soak: %ld calls, %ld good replies, %ld fallbacks, %ld \"Error: \" lines, %ld reconnects "
                "(%ld refused), slowest call %lld ms, slowest InitInternal %lld ms\n",
                tally.calls, tally.goodReplies, tally.fallbacks, errorLines, tally.reconnects,
                tally.failedReconnects, static_cast<long long>(tally.slowestCall.count()),
                static_cast<long long>(tally.slowestInit.count()));

    EXPECT_EQ(tally.calls, totalCalls);
    EXPECT_GT(tally.goodReplies, tally.fallbacks * 10) << "the controller answers most messages well";
    EXPECT_GT(tally.reconnects, 0);
#if defined(_WIN32)
    std::printf("soak: heap growth not checked: measuring the heap in use needs glibc's mallinfo2 or ASan\n");
#else
    const std::size_t heapAtEnd = HeapInUse();
    std::printf("soak: heap %zu -> %zu bytes\n", heapAfterWarmUp, heapAtEnd);
    if (totalCalls > kCallsPerBlock * 5) {
        EXPECT_LT(heapAtEnd, heapAfterWarmUp + 256 * 1024) << "the heap grew during the soak";
    }
#endif
}

// Peer death: the controller closes (end of file) or resets the connection mid
// session, or is killed and restarted; InitInternal then reconnects and
// everything works again.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "api/QuorvellanAPI.h"
#include "tests/faults/faults_support.hpp"

using namespace quorvellan::faults;
using namespace quorvellan::testing;

namespace {

void ExpectEverydayReplies() {
    FloorSpeeds speeds = GetFloorSpeeds();
    EXPECT_EQ(speeds.x, 0.75);
    EXPECT_EQ(speeds.y, -1.5);
    EXPECT_TRUE(GetTreadmillRunState(true));
}

int Init() {
    int status = -1;
    const int result = InitInternal(&status, true);
    EXPECT_EQ(result == 1, status == 0);
    return status;
}

// Queries on a dead connection each fail within their bound, never with a
// good-looking answer, and the connected flag clears within a few calls.
void ExpectDeadConnectionNoticed() {
    int calls = 0;
    ::testing::internal::CaptureStdout();
    while (CheckConnection() == 1 && calls < 5) {
        Ring ring{};
        const milliseconds taken = TimeCall([&] { ring = GetRing(); });
        EXPECT_EQ(ring.w, 0.0);
        EXPECT_LT(taken, kExchangeBound);
        ++calls;
    }
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(CheckConnection(), 0) << "still connected after " << calls << " failed calls";
    EXPECT_LE(calls, 3);
}

class PeerDeath : public ::testing::Test {
protected:
    void SetUp() override {
        controller.SetDefaultReply(kFloorReply);
        controller.QueueReply(LocalHandshakeReply());
        ASSERT_EQ(Init(), 0);
        ExpectEverydayReplies();
    }

    TestController controller;
};

}  // namespace

TEST_F(PeerDeath, CloseMidSessionIsNoticedAndInitReconnects) {
    Response close;
    close.close = true;
    controller.Queue(close);
    ExpectDeadConnectionNoticed();

    controller.QueueReply(LocalHandshakeReply());
    ASSERT_EQ(Init(), 0);
    ExpectEverydayReplies();
}

TEST_F(PeerDeath, ResetMidSessionIsNoticedAndInitReconnects) {
    Response reset;
    reset.reset = true;
    controller.Queue(reset);
    ExpectDeadConnectionNoticed();

    controller.QueueReply(LocalHandshakeReply());
    ASSERT_EQ(Init(), 0);
    ExpectEverydayReplies();
}

TEST(PeerDeathProcess, KilledAndRestartedControllerManyTimes) {
#if defined(_WIN32)
    GTEST_SKIP() << "the controller is killed as a forked child process, which needs POSIX fork and signals";
#else
    constexpr int kCycles = 25;
    auto controller = std::make_unique<ControllerProcess>(HealthyAnswer);
    ASSERT_EQ(Init(), 0);
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        ExpectEverydayReplies();
        controller->Kill();
        ExpectDeadConnectionNoticed();

        // While it is down a reconnect is refused at once.
        milliseconds taken = TimeCall([] { EXPECT_EQ(Init(), 8); });
        EXPECT_LT(taken, kExchangeBound);

        controller = std::make_unique<ControllerProcess>(HealthyAnswer);
        taken = TimeCall([] { EXPECT_EQ(Init(), 0); });
        EXPECT_LT(taken, kInitBound);
        EXPECT_EQ(CheckConnection(), 1);
    }
    ExpectEverydayReplies();
#endif
}

// Lifecycle faults: every export before InitInternal, after a failed one, after
// DeInitInternal, and many Init/DeInit cycles.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#if !defined(_WIN32)
#include <dirent.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <csignal>

extern char** environ;
#endif

#include "api/QuorvellanAPI.h"
#include "tests/faults/faults_support.hpp"

using namespace quorvellan::faults;
using namespace quorvellan::testing;

namespace {

// Calls every export but InitInternal and DeInitInternal and checks
// that each gives its fallback within `bound`.
void ExpectAllExportsFallBack(milliseconds bound) {
    const milliseconds taken = TimeCall([] {
        FloorSpeeds speeds = GetFloorSpeeds();
        EXPECT_EQ(speeds.x, 0.0);
        EXPECT_EQ(speeds.y, 0.0);
        speeds = GetFloorSpeedsNormalized();
        EXPECT_EQ(speeds.x, 0.0);
        EXPECT_EQ(speeds.y, 0.0);
        EXPECT_EQ(GetFloorSpeedMagnitude(), 0.0);
        EXPECT_EQ(GetRing().w, 0.0);
        EXPECT_FALSE(GetTreadmillRunState(false));
        EXPECT_FALSE(GetTreadmillRunState(true));
        EXPECT_STREQ(GetTreadmillSerialNumber(), "");
        const TreadmillInfo info = GetTreadmillInfo();
        EXPECT_EQ(info.reserved[0] | info.reserved[95], 0);
        EXPECT_FALSE(GetAPILock());
        SetBrake(true);
        SetTreadmillRunState(true);
        SetManualSpeeds(1.0, 2.0);
        SetUserPosition(3.0, 4.0);
        SetUserRotation(1.0, 0.0, 0.0, 0.0);
        SetAPILock(true);
        EXPECT_EQ(CheckConnection(), 0);
    });
    EXPECT_LT(taken, bound);
}

int Init() {
    int status = -1;
    const int result = InitInternal(&status, true);
    EXPECT_EQ(result == 1, status == 0);
    return status;
}

}  // namespace

TEST(LifecycleFaults, EveryExportBeforeInitFallsBackWithoutIo) {
    TestController controller;
    controller.SetDefaultReply(kFloorReply);
    ::testing::internal::CaptureStdout();
    ExpectAllExportsFallBack(milliseconds(100));
    EXPECT_EQ(DeInitInternal(), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(controller.ConnectionCount(), 0u);

    // Nothing of the commands above was remembered.
    controller.QueueReply(LocalHandshakeReply());
    ASSERT_EQ(Init(), 0);
    GetFloorSpeeds();
    ASSERT_TRUE(controller.WaitForMessages(2));
    EXPECT_EQ(controller.Messages()[0], FullHeaderMessage());
    EXPECT_EQ(controller.Messages()[1], ShortHeaderMessage());
}

TEST(LifecycleFaults, EveryExportAfterAFailedInitFallsBackWithoutIo) {
    ASSERT_EQ(Init(), 8);  // nothing listens yet
    ::testing::internal::CaptureStdout();
    ExpectAllExportsFallBack(milliseconds(100));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");

    // The keys queued meanwhile do not outlive the next handshake.
    TestController controller;
    controller.SetDefaultReply(kFloorReply);
    controller.QueueReply(LocalHandshakeReply());
    ASSERT_EQ(Init(), 0);
    EXPECT_TRUE(GetTreadmillRunState(true));
    ASSERT_TRUE(controller.WaitForMessages(2));
    EXPECT_EQ(controller.Messages()[0], FullHeaderMessage());
    EXPECT_EQ(controller.Messages()[1], ShortHeaderMessage());
}

TEST(LifecycleFaults, EveryExportAfterDeInitFailsAtOnceWithoutSending) {
    TestController controller;
    controller.SetDefaultReply(kFloorReply);
    controller.QueueReply(LocalHandshakeReply());
    ASSERT_EQ(Init(), 0);
    ASSERT_EQ(GetFloorSpeeds().x, 0.75);
    EXPECT_EQ(DeInitInternal(), 1);
    EXPECT_EQ(DeInitInternal(), 1);
    ASSERT_TRUE(controller.WaitForMessages(2));

    // The connection is closed and the controller sees the client leave; from
    // then on nothing is attempted at all, and nothing is printed.
    EXPECT_EQ(CheckConnection(), 0);
    EXPECT_TRUE(controller.WaitForPeerCloses(1)) << "the controller never saw the client leave";
    ::testing::internal::CaptureStdout();
    ExpectAllExportsFallBack(milliseconds(100));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(controller.MessageCount(), 2u);

    // InitInternal starts the service again.
    controller.QueueReply(LocalHandshakeReply());
    ASSERT_EQ(Init(), 0);
    EXPECT_EQ(GetFloorSpeeds().x, 0.75);
}

TEST(LifecycleFaults, InitDeInitCyclesKeepWorking) {
    TestController controller;
    controller.SetDefaultReply(kFloorReply);
    constexpr int kCycles = 50;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        controller.QueueReply(LocalHandshakeReply());
        ASSERT_EQ(Init(), 0);
        EXPECT_EQ(GetFloorSpeeds().y, -1.5);
        const char* serial = GetTreadmillSerialNumber();
        EXPECT_STREQ(serial, "SN-0042");
        if (serial[0] != '\0') std::free(const_cast<char*>(serial));
        EXPECT_EQ(DeInitInternal(), 1);
    }
    EXPECT_EQ(controller.ConnectionCount(), static_cast<std::size_t>(kCycles));
}

TEST(LifecycleFaults, RepeatedInitWithoutDeInitReconnectsEachTime) {
    TestController controller;
    controller.SetDefaultReply(kFloorReply);
    constexpr int kCalls = 50;
    for (int call = 0; call < kCalls; ++call) {
        controller.QueueReply(LocalHandshakeReply());
        ASSERT_EQ(Init(), 0) << "call " << call;
    }
    EXPECT_EQ(controller.ConnectionCount(), static_cast<std::size_t>(kCalls));
    EXPECT_EQ(GetRing().z, 3.0);
}

TEST(LifecycleFaults, AFailedReconnectLeavesTheFlagClear) {
    {
        TestController controller;
        controller.SetDefaultReply(kFloorReply);
        controller.QueueReply(LocalHandshakeReply());
        ASSERT_EQ(Init(), 0);
        ASSERT_EQ(CheckConnection(), 1);
    }
    // The controller is gone: the reconnect fails, and says so.
    EXPECT_EQ(Init(), 8);
    EXPECT_EQ(CheckConnection(), 0);
}

#if !defined(_WIN32)
namespace {

int OpenSockets() {
    int sockets = 0;
    DIR* fds = opendir("/proc/self/fd");
    while (dirent* entry = fds ? readdir(fds) : nullptr) {
        struct stat info {};
        const int fd = std::atoi(entry->d_name);
        if (fd != dirfd(fds) && fstat(fd, &info) == 0 && S_ISSOCK(info.st_mode)) ++sockets;
    }
    if (fds) closedir(fds);
    return sockets;
}

}  // namespace

// The controller runs in a child process, so every socket here is the library's.
TEST(LifecycleFaults, InitDeInitCyclesLeaveNoSocketOpen) {
    ControllerProcess controller(HealthyAnswer);
    const int before = OpenSockets();
    for (int cycle = 0; cycle < 3; ++cycle) {
        ASSERT_EQ(Init(), 0);
        EXPECT_EQ(OpenSockets(), before + 1);
        DeInitInternal();
        EXPECT_EQ(OpenSockets(), before) << "cycle " << cycle;
    }
}

// A program the application starts inherits nothing of the connection: after
// DeInitInternal the controller sees the client leave although the child lives.
TEST(LifecycleFaults, AChildProcessDoesNotKeepTheConnectionAlive) {
    TestController controller;
    controller.SetDefaultReply(kFloorReply);
    controller.QueueReply(LocalHandshakeReply());
    ASSERT_EQ(Init(), 0);
    pid_t child = -1;
    char sleepProgram[] = "/bin/sleep";
    char seconds[] = "5";
    char* arguments[] = {sleepProgram, seconds, nullptr};
    ASSERT_EQ(posix_spawn(&child, sleepProgram, nullptr, nullptr, arguments, environ), 0);
    DeInitInternal();
    EXPECT_TRUE(controller.WaitForPeerCloses(1)) << "the child kept the connection open";
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}
#endif

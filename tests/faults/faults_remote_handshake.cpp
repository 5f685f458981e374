// The network handshake fed hostile replies: versions out of range, no answer,
// garbage. The library variant under test reaches its "network" controller on
// this machine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/QuorvellanAPI.h"
#include "tests/faults/faults_support.hpp"

using namespace quorvellan::faults;
using namespace quorvellan::testing;

TEST(RemoteHandshakeFaults, HostileRepliesGiveTheirStatusCodes) {
    struct Case {
        const char* name;
        Response answer;
        int status;
    };
    Response silent;
    silent.silent = true;
    const std::vector<Case> cases = {
        {"no answer", silent, 5},
        {"garbage", Reply("hello, controller"), 5},
        {"major as a float beyond int", Reply(RemoteHandshakeReply("1e300")), 8},
        {"minor as a float below int", Reply(RemoteHandshakeReply("1", "-1e10")), 8},
        {"build as a float beyond int", Reply(RemoteHandshakeReply("1", "2", "3000000000.0")), 8},
        {"major as an integer beyond 32 bits keeps its low bits", Reply(RemoteHandshakeReply("4294967297")), 0},
        {"number too large for a double", Reply(RemoteHandshakeReply("1e400")), 5},
        {"version as an array", Reply(RemoteHandshakeReply("[1]")), 8},
        {"the local controller's name", Reply(RemoteHandshakeReply("1", "2", "2", "QUORVELLAN CONTROLLER INTERFACE")), 5},
    };
    TestController controller;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        controller.Queue(c.answer);
        int status = -1;
        int result = 0;
        ::testing::internal::CaptureStdout();
        const milliseconds taken = TimeCall([&] { result = InitInternal(&status, false); });
        ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(result, c.status == 0 ? 1 : -1);
        EXPECT_LT(taken, kInitBound);
    }
}

#include <gtest/gtest.h>

#include "api/QuorvellanAPI.h"
#include "tests/support/test_controller.hpp"

using namespace quorvellan::testing;

TEST(Smoke, HandshakeThenQuery) {
    TestController controller;
    controller.QueueReply(LocalHandshakeReply());
    controller.SetDefaultReply(R"({"floorSpeed":{"x":0.75,"y":-1.5}})");
    int status = -1;
    ASSERT_EQ(InitInternal(&status, true), 1);
    EXPECT_EQ(status, 0);
    FloorSpeeds speeds = GetFloorSpeeds();
    EXPECT_EQ(speeds.x, 0.75);
    EXPECT_EQ(speeds.y, -1.5);
    auto messages = controller.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], FullHeaderMessage());
    EXPECT_EQ(messages[1], ShortHeaderMessage());
}

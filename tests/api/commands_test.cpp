// The command entry points end to end: which go out at once, which wait for
// the next exchange, first value wins, and the exact bytes they put on the wire.
#include <cmath>
#include <limits>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "api/QuorvellanAPI.h"
#include "tests/support/export_helpers.hpp"
#include "tests/support/test_controller.hpp"

namespace {

using namespace quorvellan::testing;
using namespace std::chrono_literals;

// Connected, with every later message answered by an empty object.
void Connect(TestController& controller) {
    controller.SetDefaultReply("{}");
    InitLocal(controller);
}

// The message the controller received last, once `count` have arrived.
std::string MessageNumber(TestController& controller, std::size_t count) {
    EXPECT_TRUE(controller.WaitForMessages(count));
    const auto messages = controller.Messages();
    return messages.size() >= count ? messages[count - 1] : "";
}

TEST(SentAtOnce, BrakeWithTheShortHeader) {
    TestController controller;
    Connect(controller);
    SetBrake(true);
    EXPECT_EQ(MessageNumber(controller, 2),
              R"({"brake":true,"sender":{"name":"QUORVELLAN CONTROLLER API","version":{"major":1,"minor":3}}})");
    SetBrake(false);
    EXPECT_EQ(MessageNumber(controller, 3), MessageWith(R"("brake":false)"));
}

TEST(SentAtOnce, RunStateCarriesTheQueuedSpeeds) {
    TestController controller;
    Connect(controller);
    SetManualSpeeds(0.5, -0.25);
    SetTreadmillRunState(false);
    EXPECT_EQ(MessageNumber(controller, 2),
              MessageWith(R"("enabled":false,"manualXSpeed":0.5,"manualYSpeed":-0.25)"));
    SetTreadmillRunState(true);
    EXPECT_EQ(MessageNumber(controller, 3), MessageWith(R"("enabled":true)"));
}

TEST(SentAtOnce, ReplyIsIgnored) {
    TestController controller;
    controller.SetDefaultReply(R"({"enabled":fals})");
    InitLocal(controller);
    SetTreadmillRunState(true);
    SetBrake(true);
    EXPECT_EQ(CheckConnection(), 1);
    EXPECT_EQ(controller.MessageCount(), 3u);
}

TEST(Queued, NumericCommandsSendNothing) {
    TestController controller;
    Connect(controller);
    SetManualSpeeds(1.0, 2.0);
    SetUserPosition(3.0, 4.0);
    SetUserRotation(1.0, 0.0, 0.0, 0.0);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(controller.MessageCount(), 1u) << "only the handshake";
}

TEST(Queued, FirstValueWinsBetweenSends) {
    TestController controller;
    Connect(controller);
    SetManualSpeeds(1.0, 2.0);
    SetManualSpeeds(3.0, 4.0);
    GetFloorSpeeds();
    EXPECT_EQ(MessageNumber(controller, 2), MessageWith(R"("manualXSpeed":1.0,"manualYSpeed":2.0)"));
    SetManualSpeeds(3.0, 4.0);
    GetFloorSpeeds();
    EXPECT_EQ(MessageNumber(controller, 3), MessageWith(R"("manualXSpeed":3.0,"manualYSpeed":4.0)"));
}

TEST(Queued, PositionLeavesWithTheNextQueryOnly) {
    TestController controller;
    Connect(controller);
    SetUserPosition(-1.25, 2.5);
    GetRing();
    GetRing();
    EXPECT_EQ(MessageNumber(controller, 2), MessageWith("", R"("user position x":-1.25,"user position y":2.5)"));
    EXPECT_EQ(MessageNumber(controller, 3), ShortHeaderMessage());
}

TEST(Queued, RotationAsFourFloatingPointNumbers) {
    TestController controller;
    Connect(controller);
    SetUserRotation(1, 0, 0, 0);
    GetTreadmillRunState(false);
    EXPECT_EQ(MessageNumber(controller, 2),
              MessageWith("", R"("user rotation w":1.0,"user rotation x":0.0,"user rotation y":0.0,)"
                              R"("user rotation z":0.0)"));
}

TEST(Queued, EveryKeyInOneMessage) {
    TestController controller;
    Connect(controller);
    SetUserRotation(0.5, -0.5, 0.25, -0.25);
    SetUserPosition(10.0, -20.0);
    SetManualSpeeds(0.1, 1.0 / 3.0);
    SetBrake(true);
    EXPECT_EQ(MessageNumber(controller, 2),
              MessageWith(R"("brake":true,"manualXSpeed":0.1,"manualYSpeed":0.3333333333333333)",
                          R"("user position x":10.0,"user position y":-20.0,"user rotation w":0.5,)"
                          R"("user rotation x":-0.5,"user rotation y":0.25,"user rotation z":-0.25)"));
}

TEST(Queued, ValuesPassUnvalidated) {
    TestController controller;
    Connect(controller);
    SetManualSpeeds(std::nan(""), std::numeric_limits<double>::infinity());
    SetUserPosition(-0.0, 1e300);
    GetFloorSpeeds();
    EXPECT_EQ(MessageNumber(controller, 2), MessageWith(R"("manualXSpeed":null,"manualYSpeed":null)",
                                                        R"("user position x":-0.0,"user position y":1e+300)"));
}

TEST(Disconnected, BrakeSendsNothingAndReinitDropsIt) {
    TestController controller;
    Connect(controller);
    controller.Stop();
    StdoutOf([] {
        for (int i = 0; i < 5 && CheckConnection() == 1; ++i) GetFloorSpeeds();
    });
    ASSERT_EQ(CheckConnection(), 0);

    const std::string printed = StdoutOf([] {
        SetBrake(true);
        SetBrake(false);
        SetManualSpeeds(1.0, 2.0);
    });
    EXPECT_EQ(printed, "") << "no exchange while disconnected";

    TestController restarted;
    Connect(restarted);
    GetFloorSpeeds();
    EXPECT_EQ(MessageNumber(restarted, 1), FullHeaderMessage()) << "the handshake starts a fresh message";
    EXPECT_EQ(MessageNumber(restarted, 2), ShortHeaderMessage());
}

TEST(BeforeInit, CommandsLeaveNoTrace) {
    TestController controller;
    SetBrake(true);
    SetTreadmillRunState(true);
    SetManualSpeeds(1.0, 2.0);
    SetUserPosition(3.0, 4.0);
    SetUserRotation(1.0, 0.0, 0.0, 0.0);
    SetAPILock(true);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(controller.ConnectionCount(), 0u);

    Connect(controller);
    GetFloorSpeeds();
    EXPECT_EQ(MessageNumber(controller, 1), FullHeaderMessage());
    EXPECT_EQ(MessageNumber(controller, 2), ShortHeaderMessage());
}

TEST(ApiLock, SetChangesNothing) {
    TestController controller;
    Connect(controller);
    SetAPILock(true);
    EXPECT_FALSE(GetAPILock());
    SetAPILock(false);
    EXPECT_FALSE(GetAPILock());
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(controller.MessageCount(), 1u) << "no message";
    GetFloorSpeeds();
    EXPECT_EQ(MessageNumber(controller, 2), ShortHeaderMessage()) << "nothing queued";
}

}  // namespace

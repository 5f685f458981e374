// InitInternal, DeInitInternal and CheckConnection through the entry points,
// against the scripted controller on this machine (the local handshake).
#include <chrono>
#include <ostream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "api/QuorvellanAPI.h"
#include "tests/support/export_helpers.hpp"
#include "tests/support/test_controller.hpp"

namespace {

using namespace quorvellan::testing;
using namespace std::chrono_literals;

Response Silent() {
    Response response;
    response.silent = true;
    return response;
}

// Calls every entry point that may talk to the controller once.
void CallEveryControllerExport() {
    GetFloorSpeeds();
    GetFloorSpeedsNormalized();
    GetFloorSpeedMagnitude();
    GetRing();
    GetTreadmillRunState(false);
    GetTreadmillRunState(true);
    GetTreadmillSerialNumber();
    SetBrake(true);
    SetTreadmillRunState(true);
    SetManualSpeeds(1.0, 2.0);
    SetUserPosition(1.0, 2.0);
    SetUserRotation(1.0, 0.0, 0.0, 0.0);
}

// ---- Before InitInternal ----------------------------------------------------

TEST(BeforeInit, EveryExportReturnsItsFallbackWithoutIo) {
    TestController controller;
    EXPECT_EQ(CheckConnection(), 0);
    EXPECT_EQ(DeInitInternal(), 1);
    const std::string printed = StdoutOf(CallEveryControllerExport);
    EXPECT_EQ(printed, "");
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(controller.ConnectionCount(), 0u);
    EXPECT_EQ(CheckConnection(), 0);
}

TEST(BeforeInit, DeInitDoesNotStopALaterInit) {
    TestController controller;
    EXPECT_EQ(DeInitInternal(), 1);
    InitLocal(controller);
    EXPECT_EQ(CheckConnection(), 1);
}

// ---- Connection ---------------------------------------------------------------

TEST(Connection, NoListenerFailsWithEightAndTheSessionIsReused) {
    int status = -1;
    EXPECT_EQ(InitInternal(&status, true), -1);
    EXPECT_EQ(status, QUORVELLAN_STATUS_FAILURE);
    EXPECT_EQ(CheckConnection(), 0);

    status = -1;
    EXPECT_EQ(InitInternal(&status, true), -1);
    EXPECT_EQ(status, QUORVELLAN_STATUS_FAILURE);

    TestController controller;
    InitLocal(controller);
    EXPECT_EQ(CheckConnection(), 1);
}

TEST(Connection, HandshakeBytesThenShortHeader) {
    TestController controller;
    InitLocal(controller);
    controller.SetDefaultReply("{}");
    GetFloorSpeeds();
    ASSERT_TRUE(controller.WaitForMessages(2));
    const auto messages = controller.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0],
              R"({"sender":{"name":"QUORVELLAN CONTROLLER API","version":{"build":0,"major":1,"minor":3}}})");
    EXPECT_EQ(messages[1], R"({"sender":{"name":"QUORVELLAN CONTROLLER API","version":{"major":1,"minor":3}}})");
}

TEST(Connection, NullStatusPointerIsNotWritten) {
    TestController controller;
    controller.QueueReply(LocalHandshakeReply());
    EXPECT_EQ(InitInternal(nullptr, true), 1);
    EXPECT_EQ(InitInternal(nullptr, true), -1) << "no handshake reply queued the second time";
}

TEST(Connection, StatusIsWrittenOnSuccessToo) {
    TestController controller;
    controller.QueueReply(LocalHandshakeReply());
    int status = 12345;
    EXPECT_EQ(InitInternal(&status, true), 1);
    EXPECT_EQ(status, 0);
}

TEST(Connection, InitAgainReconnectsAndRepeatsTheHandshake) {
    TestController controller;
    InitLocal(controller);
    SetManualSpeeds(0.5, 0.5);  // dropped: the handshake starts a fresh message
    InitLocal(controller);
    controller.SetDefaultReply("{}");
    GetFloorSpeeds();
    ASSERT_TRUE(controller.WaitForMessages(3));
    const auto messages = controller.Messages();
    EXPECT_EQ(controller.ConnectionCount(), 2u);
    EXPECT_EQ(messages[1], FullHeaderMessage());
    EXPECT_EQ(messages[2], ShortHeaderMessage());
}

TEST(Connection, NothingPrintedOnAGoodSession) {
    TestController controller;
    controller.SetDefaultReply(R"({"enabled":true,"floorSpeed":{"x":1,"y":2}})");
    const std::string printed = StdoutOf([&] {
        InitLocal(controller);
        CallEveryControllerExport();
        DeInitInternal();
    });
    EXPECT_EQ(printed, "");
}

// ---- Handshake status codes, end to end ----------------------------------------

struct HandshakeCase {
    const char* name;
    Response reply;
    int result;
    int status;
    int connectedAfter;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const HandshakeCase& c, std::ostream* out) { *out << c.name; }


class LocalHandshake : public ::testing::TestWithParam<HandshakeCase> {};

TEST_P(LocalHandshake, ResultStatusAndConnection) {
    const HandshakeCase& c = GetParam();
    TestController controller;
    controller.Queue(c.reply);
    int status = -1;
    EXPECT_EQ(InitInternal(&status, true), c.result);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(CheckConnection(), c.connectedAfter);
    ASSERT_TRUE(controller.WaitForMessages(1));
    EXPECT_EQ(controller.Messages()[0], FullHeaderMessage());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LocalHandshake,
    ::testing::Values(
        HandshakeCase{"Good", Reply(LocalHandshakeReply()), 1, 0, 1},
        HandshakeCase{"RemoteName", Reply(LocalHandshakeReply("1", "1", "1", "QUORVELLAN CONTROLLER")), -1, 4, 1},
        HandshakeCase{"OtherCase", Reply(LocalHandshakeReply("1", "1", "1", "QUORVELLAN Controller INTERFACE")), -1,
                      4, 1},
        HandshakeCase{"TrailingBlank", Reply(LocalHandshakeReply("1", "1", "1", "QUORVELLAN CONTROLLER INTERFACE ")),
                      -1, 4, 1},
        HandshakeCase{"NotJson", Reply("QUORVELLAN CONTROLLER INTERFACE"), -1, 4, 0},
        HandshakeCase{"Silent", Silent(), -1, 4, 1},
        HandshakeCase{"NumberBeyondDouble", Reply(R"({"sender":{"name":"QUORVELLAN CONTROLLER INTERFACE",)"
                                                  R"("version":{"major":"1","minor":"1","build":"1"}},"x":1e999})"),
                      -1, 4, 1},
        HandshakeCase{"MajorBelowLaterKeysAbsent", Reply(R"({"sender":{"name":"QUORVELLAN CONTROLLER INTERFACE",)"
                                                         R"("version":{"major":"0"}}})"),
                      -1, 3, 1},
        HandshakeCase{"BuildBelow", Reply(LocalHandshakeReply("1", "1", "0")), -1, 3, 1},
        HandshakeCase{"BlankDigitLetter", Reply(LocalHandshakeReply(" 2x", "1", "1")), 1, 0, 1},
        HandshakeCase{"LettersOnly", Reply(LocalHandshakeReply("abc", "1", "1")), -1, 8, 1},
        HandshakeCase{"Numbers", Reply(RemoteHandshakeReply("1", "1", "1", "QUORVELLAN CONTROLLER INTERFACE")), -1, 8,
                      1},
        HandshakeCase{"NoSender", Reply(R"({"enabled":true})"), -1, 8, 1}),
    [](const ::testing::TestParamInfo<HandshakeCase>& info) { return std::string(info.param.name); });

// ---- A controller that stops answering ------------------------------------------

TEST(SilentController, ReadTimesOutOnceThenTheSendClearsTheFlag) {
    TestController controller;
    InitLocal(controller);
    controller.SetDefault(Silent());

    FloorSpeeds speeds{9.0, 9.0};
    std::string printed;
    const auto elapsed = DurationOf([&] { printed = StdoutOf([&] { speeds = GetFloorSpeeds(); }); });
    RecordProperty("silent_exchange_ms", static_cast<int>(elapsed.count()));
    EXPECT_GE(elapsed, 99ms);
    EXPECT_LT(elapsed, 1000ms);
    EXPECT_EQ(printed.rfind("Error: ", 0), 0u) << printed;
    EXPECT_EQ(printed.find('\n'), printed.size() - 1) << "exactly one line: " << printed;
    EXPECT_EQ(speeds.x, 0.0);
    EXPECT_EQ(speeds.y, 0.0);
    EXPECT_EQ(CheckConnection(), 1) << "a read error leaves the flag";

    // The deadline closed the socket: the next send fails and clears the flag.
    const std::size_t sent = controller.MessageCount();
    StdoutOf([] { GetFloorSpeeds(); });
    EXPECT_EQ(CheckConnection(), 0);
    EXPECT_EQ(controller.MessageCount(), sent);

    // From now on nothing is sent, nothing printed, and no wait.
    std::string quiet;
    const auto fast = DurationOf([&] { quiet = StdoutOf(CallEveryControllerExport); });
    EXPECT_EQ(quiet, "");
    EXPECT_LT(fast, 1000ms) << "a dozen calls, none of which may wait for the controller";
    EXPECT_EQ(controller.MessageCount(), sent);
}

TEST(SilentController, InitAfterLosingTheConnectionRecovers) {
    TestController controller;
    InitLocal(controller);
    controller.Queue(Silent());
    StdoutOf([] {
        GetRing();
        GetRing();
    });
    ASSERT_EQ(CheckConnection(), 0);
    InitLocal(controller);
    controller.SetDefaultReply(R"({"ringPosition":{"x":1,"y":2,"z":3}})");
    EXPECT_EQ(GetRing().z, 3.0);
}

TEST(ClosedByController, WritingToItDoesNotKillTheProcess) {
    TestController controller;
    InitLocal(controller);
    Response close;
    close.close = true;
    controller.SetDefault(close);
    StdoutOf([] {
        for (int i = 0; i < 5 && CheckConnection() == 1; ++i) GetFloorSpeeds();
    });
    EXPECT_EQ(CheckConnection(), 0) << "a send to the closed connection failed";
}

// ---- DeInitInternal ---------------------------------------------------------------

TEST(DeInit, ExportsReturnAtOnceThenInitRestarts) {
    TestController controller;
    InitLocal(controller);
    controller.SetDefaultReply(R"({"enabled":true,"floorSpeed":{"x":0.75,"y":-1.5}})");
    EXPECT_EQ(DeInitInternal(), 1);
    const std::size_t sent = controller.MessageCount();

    const auto elapsed = DurationOf([] {
        StdoutOf([] {
            for (int i = 0; i < 3; ++i) CallEveryControllerExport();
        });
    });
    EXPECT_LT(elapsed, 1000ms) << "no wait may loop on a stopped service";
    EXPECT_FALSE(GetTreadmillRunState(false));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(controller.MessageCount(), sent) << "nothing reaches the controller after DeInitInternal";

    InitLocal(controller);
    EXPECT_EQ(CheckConnection(), 1);
    EXPECT_EQ(GetFloorSpeeds().x, 0.75);
    EXPECT_TRUE(GetTreadmillRunState(false));
    const auto messages = controller.Messages();
    ASSERT_EQ(messages.size(), sent + 3);
    EXPECT_EQ(messages[sent], FullHeaderMessage());
    EXPECT_EQ(messages[sent + 1], ShortHeaderMessage());
}

TEST(DeInit, RepeatedInitAndDeInit) {
    TestController controller;
    controller.SetDefaultReply(R"({"floorSpeed":{"x":0.75,"y":-1.5}})");
    for (int round = 0; round < 5; ++round) {
        InitLocal(controller);
        EXPECT_EQ(GetFloorSpeeds().y, -1.5) << "round " << round;
        EXPECT_EQ(DeInitInternal(), 1);
    }
    EXPECT_EQ(controller.ConnectionCount(), 5u);
}

}  // namespace

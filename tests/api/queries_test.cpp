// The query entry points end to end: one exchange each, the queued keys they
// carry, and what they make of the controller's replies.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
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

// ---- One exchange per query, carrying what commands queued -------------------

struct Query {
    const char* name;
    std::function<void()> call;
};

void PrintTo(const Query& query, std::ostream* out) { *out << query.name; }

class EveryQuery : public ::testing::TestWithParam<Query> {};

TEST_P(EveryQuery, OneExchangeCarryingTheQueuedKeysOnce) {
    TestController controller;
    controller.SetDefaultReply(R"({"floorSpeed":{"x":1,"y":1},"sender":{"treadmill":{"serial number":"S"}}})");
    InitLocal(controller);
    SetManualSpeeds(0.5, 0.0);
    SetUserPosition(1.5, -2.0);

    GetParam().call();
    ASSERT_TRUE(controller.WaitForMessages(2));
    GetParam().call();
    ASSERT_TRUE(controller.WaitForMessages(3));
    std::this_thread::sleep_for(20ms);

    const auto messages = controller.Messages();
    ASSERT_EQ(messages.size(), 3u) << "one message per call";
    EXPECT_EQ(messages[1], MessageWith(R"("manualXSpeed":0.5,"manualYSpeed":0.0)",
                                       R"("user position x":1.5,"user position y":-2.0)"));
    EXPECT_EQ(messages[2], ShortHeaderMessage());
}

INSTANTIATE_TEST_SUITE_P(
    Queries, EveryQuery,
    ::testing::Values(Query{"GetFloorSpeeds", [] { GetFloorSpeeds(); }},
                      Query{"GetFloorSpeedsNormalized", [] { GetFloorSpeedsNormalized(); }},
                      Query{"GetFloorSpeedMagnitude", [] { GetFloorSpeedMagnitude(); }},
                      Query{"GetRing", [] { GetRing(); }},
                      Query{"GetTreadmillRunState", [] { GetTreadmillRunState(false); }},
                      Query{"GetTreadmillRunStateCheckingLock", [] { GetTreadmillRunState(true); }},
                      Query{"GetTreadmillSerialNumber", [] { std::free(const_cast<char*>(GetTreadmillSerialNumber())); }}),
    [](const ::testing::TestParamInfo<Query>& info) { return std::string(info.param.name); });

TEST(LocalAnswers, InfoAndLockNeedNoController) {
    TestController controller;
    InitLocal(controller);
    const TreadmillInfo zero{};
    for (int i = 0; i < 3; ++i) {
        TreadmillInfo info;
        std::memset(&info, 0xAB, sizeof info);
        info = GetTreadmillInfo();
        EXPECT_EQ(std::memcmp(&info, &zero, sizeof info), 0);
        EXPECT_FALSE(GetAPILock());
    }
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(controller.MessageCount(), 1u) << "only the handshake";
}

// ---- Floor speeds and ring --------------------------------------------------------

// Connects with `reply` as the answer to every later message.
void ConnectAnswering(TestController& controller, const std::string& reply) {
    controller.SetDefaultReply(reply);
    InitLocal(controller);
}

TEST(FloorSpeeds, SampleReply) {
    TestController controller;
    ConnectAnswering(controller, R"({"floorSpeed":{"x":0.75,"y":-1.5}})");
    const FloorSpeeds raw = GetFloorSpeeds();
    EXPECT_EQ(raw.x, 0.75);
    EXPECT_EQ(raw.y, -1.5);
    const FloorSpeeds normalised = GetFloorSpeedsNormalized();
    EXPECT_EQ(normalised.x, 0.5);
    EXPECT_EQ(normalised.y, -1.0);
    EXPECT_EQ(GetFloorSpeedMagnitude(), std::sqrt(0.75 * 0.75 + 1.5 * 1.5));
}

TEST(FloorSpeeds, IntegersLimitedWhenNormalised) {
    TestController controller;
    ConnectAnswering(controller, R"({"floorSpeed":{"x":3,"y":4}})");
    const FloorSpeeds raw = GetFloorSpeeds();
    EXPECT_EQ(raw.x, 3.0);
    EXPECT_EQ(raw.y, 4.0);
    const FloorSpeeds normalised = GetFloorSpeedsNormalized();
    EXPECT_EQ(normalised.x, 1.5);
    EXPECT_EQ(normalised.y, 1.5);
    EXPECT_EQ(GetFloorSpeedMagnitude(), 5.0) << "from the raw speeds";
}

TEST(FloorSpeeds, NegativeLimitKeepsTheSign) {
    TestController controller;
    ConnectAnswering(controller, R"({"floorSpeed":{"x":-2.25,"y":-3.0}})");
    const FloorSpeeds normalised = GetFloorSpeedsNormalized();
    EXPECT_EQ(normalised.x, -1.5) << "by division alone";
    EXPECT_EQ(normalised.y, -1.5) << "by the limit";
}

TEST(FloorSpeeds, JustInsideTheLimitPassesUnchanged) {
    TestController controller;
    ConnectAnswering(controller, R"({"floorSpeed":{"x":2.25,"y":2.1}})");
    const FloorSpeeds normalised = GetFloorSpeedsNormalized();
    EXPECT_EQ(normalised.x, 1.5);
    EXPECT_EQ(normalised.y, 2.1 / 1.5);
}

TEST(FloorSpeeds, MissingMemberReadsZero) {
    TestController controller;
    ConnectAnswering(controller, R"({"floorSpeed":{"y":"fast"},"ringPosition":{"x":1}})");
    const FloorSpeeds raw = GetFloorSpeeds();
    EXPECT_EQ(raw.x, 0.0);
    EXPECT_EQ(raw.y, 0.0);
}

TEST(FloorSpeeds, NoFloorSpeed) {
    TestController controller;
    ConnectAnswering(controller, R"({"enabled":true})");
    const FloorSpeeds raw = GetFloorSpeeds();
    EXPECT_EQ(raw.x, 0.0);
    EXPECT_EQ(raw.y, 0.0);
    EXPECT_EQ(GetFloorSpeedMagnitude(), 0.0);
}

TEST(FloorSpeeds, ReplyThatDoesNotParseGivesZeros) {
    TestController controller;
    ConnectAnswering(controller, R"({"floorSpeed":{"x":0.75,"y":-1.5}} x)");
    const FloorSpeeds raw = GetFloorSpeeds();
    EXPECT_EQ(raw.x, 0.0);
    EXPECT_EQ(raw.y, 0.0);
    const FloorSpeeds normalised = GetFloorSpeedsNormalized();
    EXPECT_EQ(normalised.x, 0.0);
    EXPECT_EQ(normalised.y, 0.0);
    EXPECT_EQ(GetFloorSpeedMagnitude(), 0.0);
}

TEST(FloorSpeeds, NumberBeyondDoubleMakesTheReplyUnreadable) {
    TestController controller;
    ConnectAnswering(controller, R"({"floorSpeed":{"x":0.5,"y":1e999}})");
    const FloorSpeeds raw = GetFloorSpeeds();
    EXPECT_EQ(raw.x, 0.0);
    EXPECT_EQ(raw.y, 0.0);
}

TEST(Ring, SampleReply) {
    TestController controller;
    ConnectAnswering(controller, R"({"ringPosition":{"x":1,"y":2,"z":3}})");
    const Ring ring = GetRing();
    EXPECT_EQ(ring.x, 1.0);
    EXPECT_EQ(ring.y, 2.0);
    EXPECT_EQ(ring.z, 3.0);
    EXPECT_EQ(ring.w, 0.45);
}

TEST(Ring, NoRingPositionStillSetsW) {
    TestController controller;
    ConnectAnswering(controller, R"({"floorSpeed":{"x":1,"y":2}})");
    const Ring ring = GetRing();
    EXPECT_EQ(ring.x, 0.0);
    EXPECT_EQ(ring.y, 0.0);
    EXPECT_EQ(ring.z, 0.0);
    EXPECT_EQ(ring.w, 0.45);
}

TEST(Ring, EmptyReplyLeavesWUnset) {
    TestController controller;
    InitLocal(controller);
    Response silent;
    silent.silent = true;
    controller.SetDefault(silent);
    Ring ring{9.0, 9.0, 9.0, 9.0};
    StdoutOf([&] { ring = GetRing(); });
    EXPECT_EQ(ring.x, 0.0);
    EXPECT_EQ(ring.y, 0.0);
    EXPECT_EQ(ring.z, 0.0);
    EXPECT_EQ(ring.w, 0.0) << "only a reply that parses sets 0.45";
}

// ---- Run state ------------------------------------------------------------------

struct RunStateCase {
    const char* name;
    const char* reply;
    bool plain;
    bool checkingLock;
};

void PrintTo(const RunStateCase& c, std::ostream* out) { *out << c.name; }

class RunState : public ::testing::TestWithParam<RunStateCase> {};

TEST_P(RunState, BothForms) {
    TestController controller;
    ConnectAnswering(controller, GetParam().reply);
    EXPECT_EQ(GetTreadmillRunState(false), GetParam().plain);
    EXPECT_EQ(GetTreadmillRunState(true), GetParam().checkingLock);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, RunState,
    ::testing::Values(RunStateCase{"EnabledUnlocked", R"({"enabled":true,"locked":false})", true, true},
                      RunStateCase{"EnabledLocked", R"({"enabled":true,"locked":true})", true, false},
                      RunStateCase{"DisabledNoLock", R"({"enabled":false})", false, false},
                      RunStateCase{"DisabledLocked", R"({"enabled":false,"locked":true})", false, false},
                      RunStateCase{"EnabledNoLock", R"({"enabled":true})", true, true},
                      RunStateCase{"LockedAsNumber", R"({"enabled":true,"locked":1})", true, true},
                      RunStateCase{"EnabledAsNumber", R"({"enabled":1,"locked":false})", false, false},
                      RunStateCase{"EnabledAsText", R"({"enabled":"true"})", false, false},
                      RunStateCase{"NotAnObject", R"([true])", false, false},
                      RunStateCase{"NotJson", R"(enabled)", false, false}),
    [](const ::testing::TestParamInfo<RunStateCase>& info) { return std::string(info.param.name); });

// ---- Serial number ---------------------------------------------------------------

TEST(SerialNumber, NewBufferOnEverySuccess) {
    TestController controller;
    ConnectAnswering(controller, R"({"sender":{"name":"x","treadmill":{"serial number":"ABC-123"}}})");
    const char* first = GetTreadmillSerialNumber();
    const char* second = GetTreadmillSerialNumber();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_STREQ(first, "ABC-123");
    EXPECT_EQ(std::memcmp(first, "ABC-123", 8), 0) << "seven characters and a NUL";
    EXPECT_STREQ(second, "ABC-123");
    EXPECT_NE(first, second);
    std::free(const_cast<char*>(first));
    std::free(const_cast<char*>(second));
}

struct SerialFailure {
    const char* name;
    const char* reply;
};

void PrintTo(const SerialFailure& c, std::ostream* out) { *out << c.name; }

class SerialNumberFailure : public ::testing::TestWithParam<SerialFailure> {};

TEST_P(SerialNumberFailure, ConstantEmptyString) {
    // Before InitInternal the result is the library's constant empty string.
    const char* constant = GetTreadmillSerialNumber();
    ASSERT_STREQ(constant, "");
    TestController controller;
    ConnectAnswering(controller, GetParam().reply);
    EXPECT_EQ(GetTreadmillSerialNumber(), constant);
    EXPECT_EQ(GetTreadmillSerialNumber(), constant);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, SerialNumberFailure,
    ::testing::Values(SerialFailure{"Number", R"({"sender":{"treadmill":{"serial number":123}}})"},
                      SerialFailure{"NoTreadmill", R"({"sender":{"name":"QUORVELLAN CONTROLLER INTERFACE"}})"},
                      SerialFailure{"NoSerialNumber", R"({"sender":{"treadmill":{}}})"},
                      SerialFailure{"TreadmillNotObject", R"({"sender":{"treadmill":"ABC-123"}})"},
                      SerialFailure{"NoSender", R"({"serial number":"ABC-123"})"},
                      SerialFailure{"NotJson", R"(ABC-123)"},
                      SerialFailure{"Empty", ""}),
    [](const ::testing::TestParamInfo<SerialFailure>& info) { return std::string(info.param.name); });

TEST(SerialNumber, EmptySerialIsAFreshBufferNotTheConstant) {
    const char* constant = GetTreadmillSerialNumber();
    TestController controller;
    ConnectAnswering(controller, R"({"sender":{"treadmill":{"serial number":""}}})");
    const char* serial = GetTreadmillSerialNumber();
    EXPECT_STREQ(serial, "");
    EXPECT_NE(serial, constant);
    std::free(const_cast<char*>(serial));
}

TEST(SerialNumber, DisconnectedGivesTheConstant) {
    const char* constant = GetTreadmillSerialNumber();
    TestController controller;
    controller.SetDefaultReply(R"({"sender":{"treadmill":{"serial number":"ABC-123"}}})");
    InitLocal(controller);
    controller.Stop();
    StdoutOf([&] {
        for (int i = 0; i < 4; ++i) EXPECT_EQ(GetTreadmillSerialNumber(), constant) << "call " << i;
    });
}

}  // namespace

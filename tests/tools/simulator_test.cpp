// The controller simulator: its treadmill model and message stream on their
// own, then the library against it over TCP, in both identities and in every
// fault mode.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <thread>

#include <nlohmann/json.hpp>

#include "api/QuorvellanAPI.h"
#include "tests/tools/tools_test_support.hpp"
#include "tools/controller-sim/message_stream.hpp"
#include "tools/controller-sim/simulator.hpp"
#include "tools/controller-sim/treadmill_model.hpp"

using namespace quorvellan::sim;
using namespace std::chrono_literals;
using quorvellan::testing::ChildProcess;
using quorvellan::testing::SimulatorThread;
using nlohmann::json;

namespace {

// Steps the model in 10 ms ticks.
void StepFor(TreadmillModel& model, double seconds) {
    for (int tick = 0; tick < static_cast<int>(std::lround(seconds * 100)); ++tick) model.Step(0.01);
}

TreadmillModel EnabledModel() {
    TreadmillModel model;
    model.SetEnabled(true);
    return model;
}

// Asks until `condition` holds or three seconds have passed.
bool Eventually(const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + 3s;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return condition();
}

int Init(bool local) {
    int status = -1;
    const int result = InitInternal(&status, local);
    EXPECT_EQ(result, status == 0 ? 1 : -1);
    return status;
}

std::string SerialNumber() {
    const char* serial = GetTreadmillSerialNumber();
    std::string copy = serial;
    if (!copy.empty()) std::free(const_cast<char*>(serial));
    return copy;
}

SimulatorOptions WithFaults(const std::function<void(Faults&)>& choose, Identity identity = Identity::Local) {
    SimulatorOptions options;
    choose(options.faults);
    options.identity = identity;
    return options;
}

bool IsNear(FloorSpeeds actual, FloorSpeeds expected) {
    return std::fabs(actual.x - expected.x) < 1e-9 && std::fabs(actual.y - expected.y) < 1e-9;
}

int CountErrorLines(const std::string& output) {
    int count = 0;
    std::size_t at = 0;
    while ((at = output.find("Error: ", at)) != std::string::npos) {
        if (at == 0 || output[at - 1] == '\n') ++count;
        at += 7;
    }
    return count;
}

}  // namespace

// ---- The treadmill model, without sockets ----------------------------------

TEST(TreadmillModel, StandsStillUntilEnabled) {
    TreadmillModel model;
    model.SetUserPosition(0.0, 0.4);
    model.SetManualSpeeds(1.0, 1.0);
    StepFor(model, 1.0);
    EXPECT_EQ(model.FloorSpeed().x, 0.0);
    EXPECT_EQ(model.FloorSpeed().y, 0.0);
}

TEST(TreadmillModel, CarriesAnOffsetUserBackToTheCentre) {
    TreadmillModel model = EnabledModel();
    model.SetUserPosition(0.0, 0.4);  // ahead
    StepFor(model, 1.0);
    EXPECT_NEAR(model.FloorSpeed().y, -2.5 * 0.4, 1e-9);
    EXPECT_EQ(model.FloorSpeed().x, 0.0);

    model.SetUserPosition(-0.2, 0.0);  // to the left
    StepFor(model, 1.0);
    EXPECT_NEAR(model.FloorSpeed().x, 0.5, 1e-9);
    EXPECT_NEAR(model.FloorSpeed().y, 0.0, 1e-9);

    model.SetUserPosition(3.0, 4.0);  // far away: capped, direction kept
    StepFor(model, 2.0);
    EXPECT_NEAR(model.FloorSpeed().x, -1.2, 1e-9);
    EXPECT_NEAR(model.FloorSpeed().y, -1.6, 1e-9);
}

TEST(TreadmillModel, RampsAtTheAccelerationLimit) {
    TreadmillModel model = EnabledModel();
    model.SetManualSpeeds(1.0, 0.0);
    model.Step(0.1);
    EXPECT_NEAR(model.FloorSpeed().x, 0.2, 1e-12);
    model.Step(0.2);
    EXPECT_NEAR(model.FloorSpeed().x, 0.6, 1e-12);
    model.Step(1.0);
    EXPECT_NEAR(model.FloorSpeed().x, 1.0, 1e-12);
    // Manual speeds win over centring, and only the given axis changes.
    model.SetUserPosition(0.0, 0.4);
    model.SetManualSpeeds(std::nullopt, -0.5);
    StepFor(model, 1.0);
    EXPECT_NEAR(model.FloorSpeed().x, 1.0, 1e-12);
    EXPECT_NEAR(model.FloorSpeed().y, -0.5, 1e-12);
}

TEST(TreadmillModel, BrakingAndStoppingDecelerateToZero) {
    TreadmillModel model = EnabledModel();
    model.SetManualSpeeds(2.0, 0.0);
    StepFor(model, 2.0);
    model.SetBrake(true);
    model.Step(0.1);
    EXPECT_NEAR(model.FloorSpeed().x, 1.6, 1e-12);  // braking is quicker than driving
    StepFor(model, 1.0);
    EXPECT_EQ(model.FloorSpeed().x, 0.0);
    EXPECT_TRUE(model.Enabled());

    model.SetBrake(false);
    StepFor(model, 2.0);
    EXPECT_NEAR(model.FloorSpeed().x, 2.0, 1e-12);
    model.SetEnabled(false);
    StepFor(model, 1.0);
    EXPECT_EQ(model.FloorSpeed().x, 0.0);
    EXPECT_FALSE(model.HasManualSpeeds());  // a new start centres the user again
}

TEST(TreadmillModel, RingFollowsTheUser) {
    TreadmillModel model;
    model.SetUserPosition(0.3, -0.2);
    model.Step(0.1);
    EXPECT_GT(model.RingPosition().x, 0.0);
    EXPECT_LT(model.RingPosition().x, 0.3);  // lags behind
    StepFor(model, 3.0);
    EXPECT_NEAR(model.RingPosition().x, 0.3, 1e-6);
    EXPECT_NEAR(model.RingPosition().y, -0.2, 1e-6);
}

// ---- Messages in, replies out ----------------------------------------------

TEST(SimulatorMessages, StreamCutsBackToBackObjects) {
    MessageStream stream;
    auto messages = stream.Append(R"({"a":{"b":1}}{"s":"}{\"x"})");
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], R"({"a":{"b":1}})");
    EXPECT_EQ(messages[1], R"({"s":"}{\"x"})");

    EXPECT_TRUE(stream.Append(" \r\n{\"brake\":tr").empty());  // blanks dropped, tail kept
    messages = stream.Append("ue}junk{}");
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], R"({"brake":true})");
    EXPECT_EQ(messages[1], "{}");
    EXPECT_FALSE(stream.Overflowed());
    stream.Append("{\"x\":\"" + std::string(MessageStream::kMaxPending, 'a'));
    EXPECT_TRUE(stream.Overflowed());
}

TEST(SimulatorMessages, AppliesOnlyKeysOfTheRightType) {
    TreadmillModel model;
    ApplyMessage(model, json::parse(R"({"enabled":1,"brake":"true","manualXSpeed":"1"})"));
    EXPECT_FALSE(model.Enabled());
    EXPECT_FALSE(model.Braked());
    EXPECT_FALSE(model.HasManualSpeeds());
    ApplyMessage(model, json::parse(R"({"enabled":true,"brake":true,"manualXSpeed":0.5,
        "user position x":0.1,"user position y":0.2,
        "user rotation w":0.5,"user rotation x":0.5,"user rotation y":0.5,"user rotation z":0.5})"));
    EXPECT_TRUE(model.Enabled());
    EXPECT_TRUE(model.Braked());
    EXPECT_TRUE(model.HasManualSpeeds());
    EXPECT_EQ(model.UserPosition().y, 0.2);
    EXPECT_EQ(model.UserRotation().z, 0.5);
    ApplyMessage(model, json::array({1, 2}));  // not an object: ignored
    EXPECT_TRUE(model.Enabled());
}

TEST(SimulatorMessages, ReplyCarriesEveryFieldWithItsType) {
    SimulatorOptions options;
    options.version = {1, 4, 7};
    options.serial = "SN-42";
    const json local = BuildReply(TreadmillModel({}, true), options);
    EXPECT_EQ(local["sender"]["name"], "QUORVELLAN CONTROLLER INTERFACE");
    EXPECT_EQ(local["sender"]["version"], json({{"major", "1"}, {"minor", "4"}, {"build", "7"}}));
    EXPECT_EQ(local["sender"]["treadmill"]["serial number"], "SN-42");
    EXPECT_TRUE(local["floorSpeed"]["x"].is_number_float());
    EXPECT_TRUE(local["ringPosition"]["z"].is_number_float());
    EXPECT_EQ(local["enabled"], false);
    EXPECT_EQ(local["locked"], true);
    EXPECT_LE(local.dump().size(), 2048u);

    options.identity = Identity::Remote;
    const json remote = BuildReply(TreadmillModel(), options);
    EXPECT_EQ(remote["sender"]["name"], "QUORVELLAN CONTROLLER");
    EXPECT_EQ(remote["sender"]["version"], json({{"major", 1}, {"minor", 4}, {"build", 7}}));
}

// ---- The library against the simulator --------------------------------------

TEST(SimulatorEndToEnd, LocalHandshakeAndSerialNumber) {
    SimulatorOptions options;
    options.serial = "SIM-LOCAL-9";
    SimulatorThread simulator(options);
    EXPECT_EQ(Init(true), QUORVELLAN_STATUS_CONNECTED);
    EXPECT_EQ(CheckConnection(), 1);
    EXPECT_EQ(SerialNumber(), "SIM-LOCAL-9");
    const std::string log = simulator.Log();
    // Connection [1] is the test's warm-up.
    EXPECT_NE(log.find(R"([2] <- {"sender":{"name":"QUORVELLAN CONTROLLER API","version":{"build":0)"),
              std::string::npos);
    EXPECT_NE(log.find(R"([2] -> {"brake":false,"enabled":false,)"), std::string::npos);
}

TEST(SimulatorEndToEnd, RemoteHandshakeAndSerialNumber) {
    SimulatorOptions options;
    options.identity = Identity::Remote;
    SimulatorThread simulator(options);
    EXPECT_EQ(Init(false), QUORVELLAN_STATUS_CONNECTED);
    EXPECT_EQ(SerialNumber(), "SIMULATOR-0001");
}

TEST(SimulatorEndToEnd, IdentityMustMatchTheVariant) {
    SimulatorOptions remote;
    remote.identity = Identity::Remote;
    SimulatorThread remoteSimulator(remote);
    EXPECT_EQ(Init(true), QUORVELLAN_STATUS_NOT_LOCAL_CONTROLLER);
    remoteSimulator.Stop();

    SimulatorThread localSimulator;
    EXPECT_EQ(Init(false), QUORVELLAN_STATUS_NOT_REMOTE_CONTROLLER);
}

TEST(SimulatorEndToEnd, ReportedVersionIsChecked) {
    SimulatorOptions options;
    options.version = {1, 3, 1};  // enough here, build too low on the network
    {
        SimulatorThread simulator(options);
        EXPECT_EQ(Init(true), QUORVELLAN_STATUS_CONNECTED);
    }
    options.identity = Identity::Remote;
    {
        SimulatorThread simulator(options);
        EXPECT_EQ(Init(false), QUORVELLAN_STATUS_VERSION_TOO_OLD);
    }
    options.version = {1, 0, 9};
    options.identity = Identity::Local;
    SimulatorThread simulator(options);
    EXPECT_EQ(Init(true), QUORVELLAN_STATUS_VERSION_TOO_OLD);
}

TEST(SimulatorEndToEnd, WalkMovesTheBeltsTowardsTheCentre) {
    SimulatorThread simulator;
    ASSERT_EQ(Init(true), QUORVELLAN_STATUS_CONNECTED);
    SetTreadmillRunState(true);
    SetUserPosition(0.0, 0.4);  // ahead of the centre: the belt runs backwards
    EXPECT_TRUE(Eventually([] { return IsNear(GetFloorSpeeds(), {0.0, -1.0}); }));
    Ring ring = GetRing();
    EXPECT_NEAR(ring.y, 0.4, 0.05);
    EXPECT_EQ(ring.w, 0.45);

    SetUserPosition(-0.3, 0.0);  // to the left: the belt runs to the right
    EXPECT_TRUE(Eventually([] { return IsNear(GetFloorSpeeds(), {0.75, 0.0}); }));
}

TEST(SimulatorEndToEnd, ManualSpeedsAreReachedAfterTheRamp) {
    SimulatorThread simulator;
    ASSERT_EQ(Init(true), QUORVELLAN_STATUS_CONNECTED);
    SetManualSpeeds(1.2, -0.6);
    SetTreadmillRunState(true);
    const double early = GetFloorSpeedMagnitude();
    EXPECT_LT(early, 1.0);  // the ramp takes about 0.7 s
    EXPECT_TRUE(Eventually([] { return IsNear(GetFloorSpeeds(), {1.2, -0.6}); }));
    FloorSpeeds normalized = GetFloorSpeedsNormalized();
    EXPECT_NEAR(normalized.x, 0.8, 1e-9);
    EXPECT_NEAR(normalized.y, -0.4, 1e-9);
}

TEST(SimulatorEndToEnd, BrakeBringsTheBeltsToZero) {
    SimulatorThread simulator;
    ASSERT_EQ(Init(true), QUORVELLAN_STATUS_CONNECTED);
    SetManualSpeeds(1.0, 1.0);
    SetTreadmillRunState(true);
    ASSERT_TRUE(Eventually([] { return GetFloorSpeedMagnitude() > 1.4; }));
    SetBrake(true);
    EXPECT_TRUE(Eventually([] { return GetFloorSpeedMagnitude() == 0.0; }));
    EXPECT_TRUE(GetTreadmillRunState(false));  // braked, still enabled
    SetBrake(false);
    EXPECT_TRUE(Eventually([] { return GetFloorSpeedMagnitude() > 1.4; }));
    SetTreadmillRunState(false);
    EXPECT_TRUE(Eventually([] { return GetFloorSpeedMagnitude() == 0.0; }));
    EXPECT_FALSE(GetTreadmillRunState(false));
}

TEST(SimulatorEndToEnd, RunStateChecksTheLock) {
    SimulatorOptions options;
    options.locked = true;
    SimulatorThread simulator(options);
    ASSERT_EQ(Init(true), QUORVELLAN_STATUS_CONNECTED);
    EXPECT_FALSE(GetTreadmillRunState(false));
    EXPECT_FALSE(GetTreadmillRunState(true));
    SetTreadmillRunState(true);
    EXPECT_TRUE(GetTreadmillRunState(false));
    EXPECT_FALSE(GetTreadmillRunState(true));  // enabled but locked
}

TEST(SimulatorEndToEnd, UnlockedRunState) {
    SimulatorThread simulator;
    ASSERT_EQ(Init(true), QUORVELLAN_STATUS_CONNECTED);
    SetTreadmillRunState(true);
    EXPECT_TRUE(GetTreadmillRunState(false));
    EXPECT_TRUE(GetTreadmillRunState(true));
}

TEST(SimulatorEndToEnd, NewConnectionsAreServedAndShareTheTreadmill) {
    SimulatorThread simulator;
    ASSERT_EQ(Init(true), QUORVELLAN_STATUS_CONNECTED);
    SetTreadmillRunState(true);
    ASSERT_EQ(Init(true), QUORVELLAN_STATUS_CONNECTED);  // a second connection
    EXPECT_TRUE(GetTreadmillRunState(false));
    EXPECT_NE(simulator.Log().find("[3] <- "), std::string::npos);  // [1] is the warm-up
}

// The program itself: starts, says where it listens, logs, stops on SIGTERM.
TEST(SimulatorProgram, ListensLogsAndStopsOnSignal) {
    ChildProcess simulator({QUORVELLAN_SIMULATOR_PATH, "--serial", "PROGRAM-7", "--log"});
    ASSERT_EQ(simulator.ReadLine(), "listening on 127.0.0.1:6158");
    EXPECT_EQ(Init(true), QUORVELLAN_STATUS_CONNECTED);
    EXPECT_EQ(SerialNumber(), "PROGRAM-7");
    simulator.Signal(SIGTERM);
    const std::string output = simulator.ReadAll();
    EXPECT_EQ(simulator.Wait(), 0);
    EXPECT_NE(output.find(R"([1] <- {"sender":{"name":"QUORVELLAN CONTROLLER API")"), std::string::npos);
    EXPECT_NE(output.find(R"("serial number":"PROGRAM-7")"), std::string::npos);
    EXPECT_NE(output.find("stopped"), std::string::npos);
}

TEST(SimulatorProgram, RejectsBadOptions) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--version", "1.x"}, "--version expects"},
        {{"--bind", "999.1.1.1"}, "--bind expects an IP address (such as 127.0.0.1 or 0.0.0.0) or localhost, "
                                  "not '999.1.1.1'"},
        {{"--serial", "SN-\xff"}, "--serial expects UTF-8 text"},
    };
    for (const auto& [options, message] : cases) {
        std::vector<std::string> arguments{QUORVELLAN_SIMULATOR_PATH};
        arguments.insert(arguments.end(), options.begin(), options.end());
        ChildProcess simulator(arguments);
        EXPECT_NE(simulator.ReadAll().find(message), std::string::npos) << options[0];
        EXPECT_EQ(simulator.Wait(), 2) << options[0];
    }
}

TEST(SimulatorProgram, PortInUseNamesTheAddressAndTheLikelyCause) {
    SimulatorThread first;
    ChildProcess second({QUORVELLAN_SIMULATOR_PATH});
    const std::string output = second.ReadAll();
    EXPECT_EQ(second.Wait(), 1);
    EXPECT_NE(output.find("cannot listen on 127.0.0.1:6158: Address already in use (another simulator"),
              std::string::npos)
        << output;
}

TEST(SimulatorEndToEnd, StateOutlivesAClientUnlessResetOnConnect) {
    for (const bool reset : {false, true}) {
        SimulatorOptions options;
        options.resetOnConnect = reset;
        SimulatorThread simulator(options);
        ASSERT_EQ(Init(true), QUORVELLAN_STATUS_CONNECTED);
        SetTreadmillRunState(true);
        ASSERT_EQ(Init(true), QUORVELLAN_STATUS_CONNECTED);  // the next client
        EXPECT_EQ(GetTreadmillRunState(false), !reset) << "reset on connect: " << reset;
    }
}

// ---- Faults: what the library makes of them ---------------------------------

TEST(SimulatorFaults, StallFromTheStartFailsTheHandshake) {
    SimulatorThread simulator(WithFaults([](Faults& f) { f.stall = true; }));
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(Init(true), QUORVELLAN_STATUS_NOT_LOCAL_CONTROLLER);
    EXPECT_EQ(CountErrorLines(::testing::internal::GetCapturedStdout()), 1);
}

TEST(SimulatorFaults, StalledQueryReturnsEmptyAfterTheReadDeadline) {
    SimulatorThread simulator(WithFaults([](Faults& f) { f.stall = true; f.after = 1; }));
    ASSERT_EQ(Init(true), QUORVELLAN_STATUS_CONNECTED);
    ::testing::internal::CaptureStdout();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SerialNumber(), "");
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(CountErrorLines(::testing::internal::GetCapturedStdout()), 1);
    EXPECT_GE(waited, 90ms);
    EXPECT_LT(waited, 1s);  // bounded, with slack for a slow machine
    EXPECT_NE(simulator.Log().find("[2] -- stalled: no reply"), std::string::npos);
}

TEST(SimulatorFaults, ShortDelayIsWithinTheDeadlineLongDelayIsNot) {
    {
        SimulatorThread simulator(WithFaults([](Faults& f) { f.delay = 20ms; }));
        ASSERT_EQ(Init(true), QUORVELLAN_STATUS_CONNECTED);
        EXPECT_EQ(SerialNumber(), "SIMULATOR-0001");
    }
    SimulatorThread simulator(WithFaults([](Faults& f) { f.delay = 400ms; f.after = 1; }));
    ASSERT_EQ(Init(true), QUORVELLAN_STATUS_CONNECTED);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(SerialNumber(), "");
    EXPECT_EQ(CountErrorLines(::testing::internal::GetCapturedStdout()), 1);
}

TEST(SimulatorFaults, CloseAfterRepliesEndsTheConnectionNotTheSimulator) {
    SimulatorThread simulator(WithFaults([](Faults& f) { f.closeAfter = 2; }));
    ASSERT_EQ(Init(true), QUORVELLAN_STATUS_CONNECTED);
    EXPECT_EQ(SerialNumber(), "SIMULATOR-0001");
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(SerialNumber(), "");  // closed after the second reply
    EXPECT_TRUE(Eventually([] { return GetFloorSpeeds().x == 0.0 && CheckConnection() == 0; }));
    EXPECT_GE(CountErrorLines(::testing::internal::GetCapturedStdout()), 1);
    EXPECT_EQ(Init(true), QUORVELLAN_STATUS_CONNECTED);  // still serving
    EXPECT_EQ(SerialNumber(), "SIMULATOR-0001");
}

TEST(SimulatorFaults, GarbageIsNoControllerAndNoReading) {
    {
        SimulatorThread simulator(WithFaults([](Faults& f) { f.garbage = true; }));
        EXPECT_EQ(Init(true), QUORVELLAN_STATUS_NOT_LOCAL_CONTROLLER);
    }
    {
        SimulatorThread simulator(WithFaults([](Faults& f) { f.garbage = true; }, Identity::Remote));
        EXPECT_EQ(Init(false), QUORVELLAN_STATUS_NOT_REMOTE_CONTROLLER);
    }
    SimulatorThread simulator(WithFaults([](Faults& f) { f.garbage = true; f.after = 2; }));
    ASSERT_EQ(Init(true), QUORVELLAN_STATUS_CONNECTED);
    SetTreadmillRunState(true);  // the second message, answered normally
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(GetTreadmillRunState(false));
    // Text that is not one JSON value cannot be framed: the connection ends.
    EXPECT_EQ(CountErrorLines(::testing::internal::GetCapturedStdout()), 1);
    EXPECT_EQ(CheckConnection(), 0);
    EXPECT_EQ(SerialNumber(), "");
    Ring ring = GetRing();
    EXPECT_NE(ring.w, 0.45);  // not read
}

TEST(SimulatorFaults, OversizeReplyEndsTheConnection) {
    {
        SimulatorThread simulator(WithFaults([](Faults& f) { f.oversize = true; }));
        EXPECT_EQ(Init(true), QUORVELLAN_STATUS_NOT_LOCAL_CONTROLLER);
    }
    SimulatorThread simulator(WithFaults([](Faults& f) { f.oversize = true; f.after = 1; }));
    ASSERT_EQ(Init(true), QUORVELLAN_STATUS_CONNECTED);
    EXPECT_EQ(SerialNumber(), "");  // the first 2048 bytes, then the connection ends
    EXPECT_EQ(CheckConnection(), 0);
    EXPECT_NE(simulator.Log().find("\"padding\":\"...."), std::string::npos);
}

TEST(SimulatorFaults, SplitReplyIsReassembled) {
    SimulatorThread simulator(WithFaults([](Faults& f) { f.split = true; }));
    ASSERT_EQ(Init(true), QUORVELLAN_STATUS_CONNECTED);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(SerialNumber(), "SIMULATOR-0001");
    SetTreadmillRunState(true);
    EXPECT_TRUE(GetTreadmillRunState(true));
    EXPECT_EQ(CountErrorLines(::testing::internal::GetCapturedStdout()), 0);
}

TEST(SimulatorFaults, WrongNameFailsBothVariants) {
    {
        SimulatorThread simulator(WithFaults([](Faults& f) { f.wrongName = true; }));
        EXPECT_EQ(Init(true), QUORVELLAN_STATUS_NOT_LOCAL_CONTROLLER);
        EXPECT_EQ(CheckConnection(), 1);  // the content failed, not the connection
    }
    SimulatorThread simulator(WithFaults([](Faults& f) { f.wrongName = true; }, Identity::Remote));
    EXPECT_EQ(Init(false), QUORVELLAN_STATUS_NOT_REMOTE_CONTROLLER);
}

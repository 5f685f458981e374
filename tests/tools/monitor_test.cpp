// The live monitor: its words for InitInternal's status codes, its options
// and scripted walk, and the program itself against the simulator.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "tests/support/environment.hpp"
#include "tests/tools/tools_test_support.hpp"
#include "tools/monitor/monitor.hpp"

using namespace quorvellan::monitor;
using quorvellan::testing::ScopedVariable;
using quorvellan::sim::Identity;
using quorvellan::sim::SimulatorOptions;
using quorvellan::testing::ChildProcess;
using quorvellan::testing::SimulatorThread;
using nlohmann::json;

namespace {

struct MonitorRun {
    int exitCode;
    std::string output;
};

MonitorRun RunMonitor(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), QUORVELLAN_MONITOR_PATH);
    ChildProcess monitor(arguments);
    std::string output = monitor.ReadAll();
    return {monitor.Wait(), output};
}

// The JSON lines of the output. The library's own "Error: " lines, written
// when a reply cannot be read, may come between them and are counted.
std::vector<json> JsonLines(const std::string& output, int* errorLines = nullptr) {
    std::vector<json> lines;
    std::istringstream stream(output);
    for (std::string line; std::getline(stream, line);) {
        if (line.rfind("Error: ", 0) == 0) {
            if (errorLines) ++*errorLines;
            continue;
        }
        lines.push_back(json::parse(line));
    }
    return lines;
}

json NextJsonLine(ChildProcess& monitor) {
    std::string line;
    do line = monitor.ReadLine();
    while (line.rfind("Error: ", 0) == 0);
    return json::parse(line);
}

std::vector<json> Samples(const std::vector<json>& lines) {
    std::vector<json> samples;
    for (const json& line : lines)
        if (line.at("event") == "sample") samples.push_back(line);
    return samples;
}

}  // namespace

// ---- Parts --------------------------------------------------------------------

TEST(MonitorWords, EachStatusCodeHasItsOwnExplanation) {
    EXPECT_NE(StatusWords(0).find("connected"), std::string::npos);
    EXPECT_NE(StatusWords(3).find("too old"), std::string::npos);
    EXPECT_NE(StatusWords(4).find("on this machine"), std::string::npos);
    EXPECT_NE(StatusWords(5).find("on the network"), std::string::npos);
    EXPECT_NE(StatusWords(8).find("could not connect"), std::string::npos);
    EXPECT_EQ(StatusWords(42), "unknown status code 42");
    std::set<std::string> distinct;
    for (int code : {0, 3, 4, 5, 8, -1}) distinct.insert(StatusWords(code));
    EXPECT_EQ(distinct.size(), 6u);
}

TEST(MonitorOptions, ParsesAndRejects) {
    MonitorOptions options = ParseOptions({"--remote", "--rate", "20", "--seconds", "2.5", "--manual", "1,-0.5",
                                           "--walk", "--enable", "--brake", "--json"});
    EXPECT_TRUE(options.remote && options.walk && options.enable && options.brake && options.json);
    EXPECT_EQ(options.rate, 20.0);
    EXPECT_EQ(options.seconds, 2.5);
    ASSERT_TRUE(options.manual);
    EXPECT_EQ(options.manual->x, 1.0);
    EXPECT_EQ(options.manual->y, -0.5);
    EXPECT_FALSE(ParseOptions({}).seconds);
    EXPECT_EQ(ParseOptions({"--controller", "sim-pc"}).controller, "sim-pc:6158");
    EXPECT_EQ(ParseOptions({"--controller", "[::1]:7000"}).controller, "[::1]:7000");
    for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
             {"--manual", "1"}, {"--manual", "1,x"}, {"--rate", "0"}, {"--rate"}, {"--seconds", "-1"}, {"--fly"},
             {"--controller"}, {"--controller", "host:0"}, {"--controller", "::1"}, {"--controller", ""}})
        EXPECT_THROW(ParseOptions(bad), std::invalid_argument) << bad[0];
    try {
        ParseOptions({"--rate", "0"});
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "--rate expects samples per second above 0 and up to 1000, not '0'");
    }
}

TEST(MonitorWalk, WalkerDriftsUntilTheBeltsCarryThemBack) {
    EXPECT_EQ(ScriptedWalk::WalkingVelocity(0.5).y, 0.0);  // stands first
    EXPECT_EQ(ScriptedWalk::WalkingVelocity(2.0).y, 1.0);  // then walks ahead
    ScriptedWalk walker;
    for (int tick = 0; tick < 10; ++tick) walker.Step(2.0 + tick * 0.1, 0.1, {0.0, 0.0});
    EXPECT_NEAR(walker.Position().y, ScriptedWalk::kRingRadius, 1e-12);  // held by the ring
    for (int tick = 0; tick < 10; ++tick) walker.Step(3.0, 0.1, {0.0, -1.0});
    EXPECT_NEAR(walker.Position().y, ScriptedWalk::kRingRadius, 1e-12);  // belt matches the pace
    walker.Step(3.0, 0.1, {0.0, -2.0});
    EXPECT_NEAR(walker.Position().y, ScriptedWalk::kRingRadius - 0.1, 1e-12);
    const Rotation facing = walker.Facing();  // ahead: no turn
    EXPECT_EQ(facing.w, 1.0);
    EXPECT_EQ(facing.z, 0.0);
}

// ---- The program against the simulator -----------------------------------------

TEST(MonitorProgram, ExplainsEveryStatusCode) {
    {
        MonitorRun run = RunMonitor({"--seconds", "0"});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_NE(run.output.find("InitInternal failed (status 8): " + StatusWords(8) + " (tried localhost:6158)"),
                  std::string::npos);
    }
    {
        SimulatorThread simulator;
        MonitorRun run = RunMonitor({"--seconds", "0"});
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_NE(run.output.find("InitInternal succeeded (status 0): " + StatusWords(0)), std::string::npos);
        run = RunMonitor({"--seconds", "0", "--remote"});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_NE(run.output.find("(status 5): " + StatusWords(5) + " (tried localhost:6158)"), std::string::npos);
        // A mistyped address reaches nothing, not the controller on the default one.
        ScopedVariable typo("QUORVELLAN_CONTROLLER", "127.0.0.1:x");
        run = RunMonitor({"--seconds", "0"});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_NE(run.output.find("(status 8): " + StatusWords(8) +
                                  " (tried nothing: QUORVELLAN_CONTROLLER=\"127.0.0.1:x\" is not host[:port])"),
                  std::string::npos)
            << run.output;
    }
    SimulatorOptions options;
    options.identity = Identity::Remote;
    options.version = {1, 2, 1};
    SimulatorThread simulator(options);
    MonitorRun run = RunMonitor({"--seconds", "0"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.output.find("(status 4): " + StatusWords(4)), std::string::npos);
    run = RunMonitor({"--seconds", "0", "--remote"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.output.find("(status 3): " + StatusWords(3)), std::string::npos);
}

TEST(MonitorProgram, JsonLinesParseBack) {
    SimulatorOptions options;
    options.serial = std::string(57, 'J') + "SON-5\xC3\xA9";  // "é" in bytes 63 and 64, past the sample's field
    SimulatorThread simulator(options);
    MonitorRun run = RunMonitor({"--json", "--seconds", "1.5", "--rate", "10", "--manual", "1,0.5", "--enable"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    std::vector<json> lines = JsonLines(run.output);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), json({{"event", "init"}, {"result", 1}, {"status", 0}, {"statusText", StatusWords(0)}}));
    std::vector<json> samples = Samples(lines);
    EXPECT_EQ(lines.back().at("event"), "end");
    EXPECT_EQ(lines.back().at("samples"), samples.size());
    ASSERT_GE(samples.size(), 8u);

    const json& last = samples.back();
    EXPECT_NEAR(last["floorSpeed"]["x"].get<double>(), 1.0, 1e-9);
    EXPECT_NEAR(last["floorSpeed"]["y"].get<double>(), 0.5, 1e-9);
    EXPECT_NEAR(last["normalized"]["x"].get<double>(), 1.0 / 1.5, 1e-9);
    EXPECT_NEAR(last["magnitude"].get<double>(), std::hypot(1.0, 0.5), 1e-9);
    EXPECT_EQ(last["ring"]["w"], 0.45);
    EXPECT_EQ(last["running"], true);
    EXPECT_EQ(last["runningUnlocked"], true);
    EXPECT_EQ(last["serial"], std::string(57, 'J') + "SON-5");
    EXPECT_EQ(last["connected"], true);
    EXPECT_FALSE(last.contains("user"));
    EXPECT_LT(samples.front()["magnitude"].get<double>(), 1.0);  // still ramping
}

// Two simulators on ports of their own and two monitors at once, one given
// the address by QUORVELLAN_CONTROLLER, one by --controller: each reads its own.
TEST(MonitorProgram, EachReadsTheControllerAtTheAddressItWasGiven) {
    const std::vector<std::pair<std::uint16_t, std::string>> ports{{16201, "PORT-16201"}, {16202, "PORT-16202"}};
    std::vector<std::unique_ptr<SimulatorThread>> simulators;
    for (const auto& [port, serial] : ports) {
        SimulatorOptions options;
        options.port = port;
        options.serial = serial;
        simulators.push_back(std::make_unique<SimulatorThread>(options));
    }
    const std::vector<std::string> sampling{QUORVELLAN_MONITOR_PATH, "--json", "--seconds", "1", "--rate", "10"};
    ChildProcess byEnvironment = [&] {
        ScopedVariable controller("QUORVELLAN_CONTROLLER", "127.0.0.1:16201");
        return ChildProcess(sampling);
    }();
    std::vector<std::string> withOption = sampling;
    withOption.insert(withOption.end(), {"--controller", "localhost:16202"});
    ChildProcess byOption(withOption);

    ChildProcess* monitors[] = {&byEnvironment, &byOption};
    for (std::size_t i = 0; i < 2; ++i) {
        const std::string output = monitors[i]->ReadAll();
        ASSERT_EQ(monitors[i]->Wait(), 0) << output;
        const std::vector<json> samples = Samples(JsonLines(output));
        ASSERT_GE(samples.size(), 5u) << output;
        for (const json& sample : samples) EXPECT_EQ(sample.at("serial"), ports[i].second) << output;
    }

    // Nothing there: the report names the address tried.
    MonitorRun nobody = RunMonitor({"--seconds", "0", "--controller", "127.0.0.1:16203"});
    EXPECT_EQ(nobody.exitCode, 1);
    EXPECT_NE(nobody.output.find("(tried 127.0.0.1:16203)"), std::string::npos) << nobody.output;
}

TEST(MonitorProgram, WalkMakesTheBeltsCarryTheUserBack) {
    SimulatorThread simulator;
    MonitorRun run = RunMonitor({"--json", "--walk", "--enable", "--seconds", "3.8", "--rate", "20"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    int walkingAhead = 0;
    for (const json& sample : Samples(JsonLines(run.output))) {
        const double time = sample["time"];
        if (time < 2.0 || time > 3.8) continue;  // walking ahead, belts caught up
        ++walkingAhead;
        EXPECT_GT(sample["user"]["y"].get<double>(), 0.1) << sample;
        EXPECT_LT(sample["floorSpeed"]["y"].get<double>(), -0.3) << sample;
        EXPECT_NEAR(sample["floorSpeed"]["x"].get<double>(), 0.0, 1e-9) << sample;
    }
    EXPECT_GE(walkingAhead, 10);
}

TEST(MonitorProgram, TakesUpALostConnectionAgain) {
    SimulatorOptions options;
    options.faults.closeAfter = 20;
    SimulatorThread simulator(options);
    MonitorRun run = RunMonitor({"--json", "--seconds", "2", "--rate", "20"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    int errorLines = 0;
    std::vector<json> lines = JsonLines(run.output, &errorLines);
    EXPECT_GE(errorLines, 1);  // the read that found the connection closed
    int reconnects = 0;
    for (const json& line : lines) {
        if (line.at("event") != "reconnect") continue;
        ++reconnects;
        EXPECT_EQ(line.at("status"), 0);
    }
    EXPECT_GE(reconnects, 1);
    EXPECT_EQ(lines.back().at("reconnects"), reconnects);
}

TEST(MonitorProgram, StatusLinesWithoutJson) {
    SimulatorThread simulator;
    MonitorRun run = RunMonitor({"--seconds", "0.3", "--brake"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("running no/no"), std::string::npos);
    EXPECT_NE(run.output.find("serial SIMULATOR-0001"), std::string::npos);
    EXPECT_NE(run.output.find(" samples, 0 reconnects"), std::string::npos);
}

TEST(MonitorProgram, InterruptDeinitialisesAndExits) {
    SimulatorThread simulator;
    ChildProcess monitor({QUORVELLAN_MONITOR_PATH, "--json", "--rate", "20"});
    EXPECT_EQ(NextJsonLine(monitor).at("status"), 0);
    EXPECT_EQ(NextJsonLine(monitor).at("event"), "sample");
    monitor.Signal(SIGINT);
    std::vector<json> lines = JsonLines(monitor.ReadAll());
    EXPECT_EQ(monitor.Wait(), 0);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().at("event"), "end");
}

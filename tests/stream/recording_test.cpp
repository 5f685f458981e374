// The stream's recording end to end against the scripted controller: what
// the file holds (and that the replay's reader accepts it), the environment
// variable, and files that cannot be written, which never stop the stream.
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/faults_support.hpp"
#include "tests/stream/stream_support.hpp"
#include "tests/support/test_controller.hpp"
#include "tools/controller-sim/replay.hpp"

namespace {

using namespace quorvellan::testing;
using quorvellan::faults::HealthyAnswer;
using nlohmann::json;

std::string TemporaryFile(const std::string& name) {
    return (std::filesystem::temp_directory_path() / ("quorvellan-" + std::to_string(getpid()) + "-" + name)).string();
}

StreamHandle StartRecording(const char* path) {
    const QuorvellanStreamOptions options = FastOptions();
    QuorvellanStream* stream = nullptr;
    EXPECT_EQ(QuorvellanStreamStartRecording(&options, path, &stream), QUORVELLAN_STREAM_OK);
    return StreamHandle(stream);
}

QuorvellanStreamRecordingStatus RecordingOf(const StreamHandle& stream) {
    QuorvellanStreamRecordingStatus status;
    QuorvellanStreamRecording(stream.get(), &status);
    return status;
}

std::vector<json> ReadLines(const std::string& path) {
    std::ifstream file(path);
    std::vector<json> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(json::parse(line));
    return lines;
}

std::vector<json> Events(const std::vector<json>& lines, const std::string& event) {
    std::vector<json> found;
    for (const json& line : lines)
        if (line.value("event", "") == event) found.push_back(line);
    return found;
}

bool IsConnected(const QuorvellanStreamSample& sample) { return sample.state == QUORVELLAN_STREAM_CONNECTED; }

TEST(StreamRecording, HoldsSamplesCommandsAndEveryConnectionChange) {
    const std::string path = TemporaryFile("record.jsonl");
    {
        auto controller = std::make_unique<TestController>();
        controller->SetResponder(HealthyAnswer);
        StreamHandle stream = StartRecording(path.c_str());
        WaitForSample(stream, [](const auto& s) { return IsConnected(s) && s.timeNs != 0; });
        QuorvellanStreamSetUserPosition(stream.get(), 0.25, -0.5);
        EXPECT_EQ(QuorvellanStreamSetBrake(stream.get(), 1), 1);
        const std::uint64_t after = Latest(stream).sequence + 3;
        WaitForSample(stream, [after](const auto& s) { return s.sequence > after; });
        controller.reset();
        WaitForState(stream, QUORVELLAN_STREAM_LOST);
        controller = std::make_unique<TestController>();
        controller->SetResponder(HealthyAnswer);
        WaitForSample(stream, [](const auto& s) { return IsConnected(s) && s.reconnects == 1; });
        EXPECT_EQ(RecordingOf(stream).recording, 1);
        EXPECT_EQ(RecordingOf(stream).linesLost, 0u);
    }
    const std::vector<json> lines = ReadLines(path);
    ASSERT_GE(lines.size(), 8u);
    EXPECT_EQ(lines[0].at("format"), "quorvellan-recording");
    EXPECT_EQ(lines[0].at("version"), 1);
    EXPECT_EQ(lines[0].at("pollRateHz"), 250.0);
    EXPECT_EQ(lines[0].at("startTime").get<std::string>().size(), std::string("2026-01-01T00:00:00.000Z").size());

    double previous = 0.0;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        EXPECT_GE(lines[i].at("t").get<double>(), previous) << "line " << i + 1;
        previous = lines[i].at("t");
    }
    const std::vector<json> samples = Events(lines, "sample");
    ASSERT_FALSE(samples.empty());
    EXPECT_EQ(samples[0].at("floorSpeed"), json({0.75, -1.5}));
    EXPECT_EQ(samples[0].at("ring"), json({1.0, 2.0, 3.0}));
    EXPECT_EQ(samples[0].at("running"), true);

    // A failed attempt while lost changes the status (0 to 8): a line of its own.
    std::vector<std::string> states;
    for (const json& change : Events(lines, "connection"))
        if (states.empty() || states.back() != change.at("state")) states.push_back(change.at("state"));
    EXPECT_EQ(states, (std::vector<std::string>{"connected", "lost", "connected", "stopped"}));
    const std::vector<json> changes = Events(lines, "connection");
    EXPECT_EQ(changes.front().at("serial"), "SN-0042");
    EXPECT_EQ(changes.front().at("status"), 0);
    EXPECT_EQ(changes[changes.size() - 2].at("reconnects"), 1);

    const std::vector<json> commands = Events(lines, "command");
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].at("command"), "userPosition");
    EXPECT_EQ(commands[0].at("value"), json({0.25, -0.5}));
    EXPECT_EQ(commands[1].at("command"), "brake");
    EXPECT_EQ(commands[1].at("value"), true);

    // What the stream writes, the replay reads.
    std::ifstream file(path);
    const auto recording = quorvellan::sim::Recording::Read(file);
    EXPECT_EQ(recording.Frames().size(), samples.size());
    EXPECT_EQ(recording.Frames().front().serial, "SN-0042");
    EXPECT_TRUE(recording.Frames().back().brake);
    std::filesystem::remove(path);
}

TEST(StreamRecording, EnvironmentVariableSwitchesItOnAtStart) {
    const std::string path = TemporaryFile("environment.jsonl");
    ASSERT_EQ(setenv("QUORVELLAN_RECORD", path.c_str(), 1), 0);
    TestController controller;
    controller.SetResponder(HealthyAnswer);
    {
        StreamHandle stream = StartStream();
        WaitForSample(stream, [](const auto& s) { return IsConnected(s) && s.timeNs != 0; });
        EXPECT_EQ(RecordingOf(stream).recording, 1);
    }
    const std::vector<json> lines = ReadLines(path);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0].at("format"), "quorvellan-recording");
    EXPECT_EQ(Events(lines, "sample").empty(), false);
    unsetenv("QUORVELLAN_RECORD");
    std::filesystem::remove(path);
}

// A full disk and a folder that does not exist: the stream polls on and says why.
TEST(StreamRecording, FilesThatCannotBeWrittenNeverStopTheStream) {
    TestController controller;
    controller.SetResponder(HealthyAnswer);
    {
        StreamHandle stream = StartRecording("/dev/full");
        const QuorvellanStreamSample first =
            WaitForSample(stream, [](const auto& s) { return IsConnected(s) && s.timeNs != 0; });
        const std::uint64_t later = first.sequence + 100;  // past a flush (100 ms at 250 Hz is 25)
        const QuorvellanStreamSample after = WaitForSample(stream, [later](const auto& s) { return s.sequence > later; });
        EXPECT_TRUE(IsConnected(after));
        const QuorvellanStreamRecordingStatus status = RecordingOf(stream);
        EXPECT_EQ(status.recording, 1);
        EXPECT_GT(status.linesLost, 0u);
        EXPECT_EQ(status.lastError, ENOSPC);
    }
    StreamHandle stream = StartRecording("/nonexistent-folder/recording.jsonl");
    WaitForSample(stream, [](const auto& s) { return IsConnected(s) && s.timeNs != 0; });
    const QuorvellanStreamRecordingStatus status = RecordingOf(stream);
    EXPECT_EQ(status.recording, 0);
    EXPECT_EQ(status.lastError, ENOENT);
    EXPECT_EQ(status.linesWritten, 0u);
}

}  // namespace

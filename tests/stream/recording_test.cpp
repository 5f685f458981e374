// The stream's recording end to end against the scripted controller: what
// the file holds (and that the replay's reader accepts it), the environment
// variable, segments appended at every start, and files that cannot be
// written or that block, which never stop or stall the stream.
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/faults/faults_support.hpp"
#include "tests/stream/stream_support.hpp"
#include "tests/support/environment.hpp"
#include "tests/support/test_controller.hpp"
#include "tools/controller-sim/replay.hpp"

namespace {

using namespace quorvellan::testing;
using quorvellan::faults::HealthyAnswer;
using quorvellan::faults::TimeCall;
using nlohmann::json;
using std::chrono::milliseconds;

// Start returns at once and Stop within 200 ms; the slack covers the machine's stalls.
constexpr milliseconds kBound{1000};

std::string TemporaryFile(const std::string& name) {
    return (std::filesystem::temp_directory_path() / ("quorvellan-" + std::to_string(getpid()) + "-" + name)).string();
}

StreamHandle StartRecording(const char* path, const QuorvellanStreamOptions& options = FastOptions()) {
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

// Waits until the recording's status satisfies `accept`; returns the last one seen.
// Each status is judged once: a judgement that reads the file too would see
// lines written after the status was taken if it were asked again.
template <typename Accept>
QuorvellanStreamRecordingStatus WaitForRecording(const StreamHandle& stream, Accept accept,
                                                 milliseconds timeout = std::chrono::seconds(10)) {
    const auto until = StreamClock::now() + timeout;
    QuorvellanStreamRecordingStatus status = RecordingOf(stream);
    bool accepted = accept(status);
    while (!accepted && StreamClock::now() < until) {
        std::this_thread::sleep_for(milliseconds(5));
        status = RecordingOf(stream);
        accepted = accept(status);
    }
    EXPECT_TRUE(accepted) << "written " << status.linesWritten << ", lost " << status.linesLost << ", error "
                                << status.lastError;
    return status;
}

void ExpectBoundedStop(StreamHandle& stream) {
    const milliseconds took = TimeCall([&] { stream.reset(); });
    ::testing::Test::RecordProperty("stop_ms", static_cast<int>(took.count()));
    EXPECT_LT(took, kBound);
}

std::string ReadText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// Every line of the text; a last line without its '\n' is left out.
std::vector<std::string> WholeLines(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

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

// A serial number longer than the sample's field is cut between characters,
// never inside one; one that is not UTF-8 the library refuses (none is read).
// Either way the recording goes on.
TEST(StreamRecording, SerialNumbersOfAnyBytesAreRecordedWhole) {
    const std::string s61(61, 'S'), s62(62, 'S');
    const struct {
        std::string sent, recorded;
    } cases[] = {{s62 + "\xC3\xA9", s62}, {s61 + "\xE2\x82\xAC", s61}, {s62 + "S\xC3\xA9", s62 + "S"}, {"SN-\xFF", ""}};
    for (const auto& c : cases) {
        const std::string path = TemporaryFile("serial.jsonl");
        {
            TestController controller;  // the handshake, then the serial number's exchange
            controller.QueueReply(LocalHandshakeReply());
            controller.QueueReply(R"({"sender":{"treadmill":{"serial number":")" + c.sent + R"("}}})");
            controller.SetResponder(HealthyAnswer);
            StreamHandle stream = StartRecording(path.c_str());
            WaitForSample(stream, [](const auto& s) { return IsConnected(s) && s.timeNs != 0; });
        }
        EXPECT_EQ(Events(ReadLines(path), "connection").at(0).at("serial"), c.recorded) << c.sent;
        std::filesystem::remove(path);
    }
}

TEST(StreamRecording, EnvironmentVariableSwitchesItOnAtStart) {
    const std::string path = TemporaryFile("environment.jsonl");
    ScopedVariable record("QUORVELLAN_RECORD", path);
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
    std::filesystem::remove(path);
}

// Files the writer cannot use: a device that takes nothing, a folder that
// does not exist, a FIFO without a reader (opening it for writing would wait
// for one). Start returns at once, the stream polls on and says why, and no
// line counts as written.
TEST(StreamRecording, FilesThatCannotBeWrittenNeverStopOrHoldUpTheStream) {
    const std::string fifo = TemporaryFile("no-reader.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string path;
        int recording;       // 1: the file is open, its lines are counted lost
        std::uint64_t lost;  // lines lost at least: the header, connection and first samples
        int error;
    } cases[] = {
        {"/dev/full", 1, 100, ENOSPC}, {"/nonexistent-folder/recording.jsonl", 0, 0, ENOENT}, {fifo, 0, 0, ENXIO}};
    TestController controller;
    controller.SetResponder(HealthyAnswer);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        auto started = std::async(std::launch::async, [&] { return StartRecording(c.path.c_str()); });
        const bool returned = started.wait_for(kBound) == std::future_status::ready;
        EXPECT_TRUE(returned) << "StartRecording still waits after " << kBound.count() << " ms";
        const int unblocker = returned ? -1 : open(c.path.c_str(), O_RDONLY | O_NONBLOCK);  // lets the open finish
        StreamHandle stream = started.get();
        const QuorvellanStreamSample first =
            WaitForSample(stream, [](const auto& s) { return IsConnected(s) && s.timeNs != 0; });
        const std::uint64_t later = first.sequence + 100;  // past a few of the writer's rounds
        EXPECT_TRUE(IsConnected(WaitForSample(stream, [later](const auto& s) { return s.sequence > later; })));
        const QuorvellanStreamRecordingStatus status =
            WaitForRecording(stream, [&](const auto& s) { return s.lastError != 0 && s.linesLost >= c.lost; });
        EXPECT_EQ(status.recording, c.recording);
        EXPECT_EQ(status.lastError, c.error);
        EXPECT_EQ(status.linesWritten, 0u);
        ExpectBoundedStop(stream);
        if (unblocker >= 0) close(unblocker);
    }
    std::filesystem::remove(fifo);
}

// A program that stops and starts its stream (a scene change), by either way
// of asking for a recording, keeps every segment; a last line cut short by a
// crash is ended, so the next header starts a line of its own.
TEST(StreamRecording, EveryStartAppendsASegmentWithItsOwnHeader) {
    TestController controller;
    controller.SetResponder(HealthyAnswer);
    for (const bool fromEnvironment : {false, true}) {
        SCOPED_TRACE(fromEnvironment ? "QUORVELLAN_RECORD" : "StartRecording");
        const std::string path = TemporaryFile("segments.jsonl");
        const std::string crashed = R"({"format":"quorvellan-recording","version":1})" "\n" R"({"t":0.5,"ev)";
        std::ofstream(path, std::ios::binary) << crashed;
        {
            ScopedVariable record("QUORVELLAN_RECORD", fromEnvironment ? path.c_str() : nullptr);
            for (int segment = 0; segment < 2; ++segment) {
                StreamHandle stream = fromEnvironment ? StartStream() : StartRecording(path.c_str());
                WaitForSample(stream, [](const auto& s) { return IsConnected(s) && s.timeNs != 0; });
            }
        }
        const std::string text = ReadText(path);
        ASSERT_EQ(text.compare(0, crashed.size() + 1, crashed + "\n"), 0) << text.substr(0, 200);
        const std::vector<std::string> lines = WholeLines(text.substr(crashed.size() + 1));
        int headers = 0;
        for (const std::string& line : lines) headers += json::parse(line).contains("format");
        EXPECT_EQ(headers, 2);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(json::parse(lines.front()).at("format"), "quorvellan-recording");
        EXPECT_EQ(json::parse(lines.back()).at("state"), "stopped");
        std::filesystem::remove(path);
    }
}

// A FIFO whose reader never reads: once it is full the writer blocks, the
// stream polls on, lines beyond the queue are counted lost, and Stop leaves
// the blocked writer behind.
TEST(StreamRecording, AFifoNobodyReadsNeitherStallsPollingNorStop) {
    const std::string path = TemporaryFile("never-read.fifo");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    const int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    fcntl(reader, F_SETPIPE_SZ, 4096);  // full after some 30 lines
    TestController controller;
    controller.SetResponder(HealthyAnswer);
    QuorvellanStreamOptions options = FastOptions();
    options.pollRateHz = 1000;  // fills the queue (2048 lines) sooner
    StreamHandle stream = StartRecording(path.c_str(), options);
    // Lines lost: the pipe and then the queue are full, and the stream polls on.
    const QuorvellanStreamRecordingStatus status =
        WaitForRecording(stream, [](const auto& s) { return s.linesLost > 0; }, std::chrono::seconds(50));
    EXPECT_EQ(status.recording, 1);
    EXPECT_EQ(status.lastError, EAGAIN);
    const QuorvellanStreamSample sample = Latest(stream);
    EXPECT_TRUE(IsConnected(sample));
    EXPECT_GT(sample.sequence, 2000u);
    ExpectBoundedStop(stream);
    close(reader);  // the writer left behind gets EPIPE (not SIGPIPE) and ends
    std::filesystem::remove(path);
}

// A file system that fills up for a while, in a mount namespace of the
// test's own: the counts are the file's lines, and every line is whole JSON.
TEST(StreamRecording, AFullFileSystemLeavesWholeLinesAndTrueCounts) {
    if (unshare(CLONE_NEWNS) != 0) {
        GTEST_SKIP() << "no mount namespace: " << std::strerror(errno);
    }
    // Source and type are ignored here, but valgrind wants them readable.
    ASSERT_EQ(mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr), 0) << std::strerror(errno);
    const std::string folder = TemporaryFile("small-fs");
    std::filesystem::create_directory(folder);
    ASSERT_EQ(mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=256k"), 0) << std::strerror(errno);
    const std::string path = folder + "/recording.jsonl";

    TestController controller;
    controller.SetResponder(HealthyAnswer);
    {
        StreamHandle stream = StartRecording(path.c_str());
        WaitForRecording(stream, [](const auto& s) { return s.linesWritten > 50; });
        // Fill what is left, in odd sizes so that the last write is cut short.
        const std::string filler = folder + "/filler";
        {
            std::ofstream fill(filler, std::ios::binary);
            const std::string block(1000, 'x');
            while (fill.write(block.data(), block.size())) {
            }
        }
        const auto full = WaitForRecording(stream, [](const auto& s) { return s.linesLost > 50; });
        EXPECT_EQ(full.lastError, ENOSPC);
        std::filesystem::remove(filler);
        const std::uint64_t writtenWhileFull = full.linesWritten;
        WaitForRecording(stream, [&](const auto& s) { return s.linesWritten > writtenWhileFull + 50; });
        controller.Stop();  // no samples, no new lines once the state has settled
        WaitForSample(stream, [](const auto& s) { return s.state == QUORVELLAN_STREAM_LOST && s.lastStatus != 0; });
        const auto counted = [&](const auto& s) { return WholeLines(ReadText(path)).size() == s.linesWritten; };
        const QuorvellanStreamRecordingStatus settled = WaitForRecording(stream, counted);
        EXPECT_GT(settled.linesLost, 50u);
    }
    const std::string text = ReadText(path);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    const std::vector<std::string> lines = WholeLines(text);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(json::accept(lines[i])) << "line " << i + 1 << ": " << lines[i];
    }
    EXPECT_EQ(json::parse(lines.front()).at("format"), "quorvellan-recording");
    umount(folder.c_str());
    std::filesystem::remove(folder);
}

}  // namespace

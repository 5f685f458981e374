// The stream end to end against the scripted controller: the sample, every
// state transition, coalescing and ordering of commands, the rule for commands
// given while disconnected, Stop bounded in every state, and Start/Stop cycles
// that leave nothing behind. One process per case (the core's session).
#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#if !defined(_WIN32)
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "messages/protocol.hpp"
#include "tests/faults/faults_support.hpp"
#include "tests/stream/stream_support.hpp"
#include "stream/utf8_paths.hpp"
#include "tests/support/environment.hpp"
#include "tests/support/test_controller.hpp"

namespace {

using namespace quorvellan::testing;
using quorvellan::faults::HealthyAnswer;
using quorvellan::faults::IsHandshakeMessage;
using quorvellan::faults::TimeCall;
using std::chrono::milliseconds;
namespace key = quorvellan::protocol::key;

// Stop returns within 200 ms; the slack covers the machine's stalls.
constexpr milliseconds kStopBound{1000};

// Stops the stream, checks the bound and records the time (--gtest_output=xml).
void ExpectBoundedStop(StreamHandle& stream) {
    const milliseconds took = TimeCall([&] { stream.reset(); });
    ::testing::Test::RecordProperty("stop_ms", static_cast<int>(took.count()));
    EXPECT_LT(took, kStopBound);
}

bool IsConnected(const QuorvellanStreamSample& sample) { return sample.state == QUORVELLAN_STREAM_CONNECTED; }

// The messages after the handshakes, parsed.
std::vector<nlohmann::json> PollMessages(const TestController& controller) {
    std::vector<nlohmann::json> parsed;
    for (const std::string& message : controller.Messages()) {
        if (!IsHandshakeMessage(message)) parsed.push_back(nlohmann::json::parse(message));
    }
    return parsed;
}

// ---- The sample -----------------------------------------------------------

TEST(StreamSample, CarriesOnePollOfAHealthyController) {
    TestController controller;
    controller.SetResponder(HealthyAnswer);
    StreamHandle stream = StartStream();
    const QuorvellanStreamSample sample =
        WaitForSample(stream, [](const auto& s) { return IsConnected(s) && s.timeNs != 0; });

    EXPECT_EQ(sample.lastStatus, QUORVELLAN_STATUS_CONNECTED);
    EXPECT_STREQ(sample.serialNumber, "SN-0042");
    EXPECT_EQ(sample.floorSpeeds.x, 0.75);
    EXPECT_EQ(sample.floorSpeeds.y, -1.5);
    EXPECT_EQ(sample.floorSpeedsNormalized.x, 0.5);
    EXPECT_EQ(sample.floorSpeedsNormalized.y, -1.0);
    EXPECT_DOUBLE_EQ(sample.floorSpeedMagnitude, std::hypot(0.75, 1.5));
    EXPECT_EQ(sample.ring.x, 1.0);
    EXPECT_EQ(sample.ring.z, 3.0);
    EXPECT_EQ(sample.ring.w, 0.45);
    EXPECT_EQ(sample.running, 1);
    EXPECT_EQ(sample.runningUnlocked, 1);
    EXPECT_LE(sample.timeNs, QuorvellanStreamClockNs());
    // Handshake, serial number, then three exchanges per poll while running.
    EXPECT_GE(sample.exchanges, 5u);
    EXPECT_EQ(sample.failedReads, 0u);
    EXPECT_EQ(sample.reconnects, 0u);

    const QuorvellanStreamSample later = WaitForSample(stream, [&](const auto& s) {
        return s.sequence > sample.sequence + 3;
    });
    EXPECT_GT(later.timeNs, sample.timeNs);
    EXPECT_GT(later.exchanges, sample.exchanges);
    EXPECT_EQ(controller.ConnectionCount(), 1u);
}

// A locked treadmill is running but not running-and-unlocked; the poll asks twice.
TEST(StreamSample, TellsALockedTreadmillFromAStoppedOne) {
    TestController controller;
    controller.SetResponder([](const std::string& message) {
        return Reply(IsHandshakeMessage(message) ? LocalHandshakeReply()
                                                 : R"({"enabled":true,"locked":true,"ringPosition":{"x":0}})");
    });
    StreamHandle stream = StartStream();
    const QuorvellanStreamSample sample =
        WaitForSample(stream, [](const auto& s) { return IsConnected(s) && s.timeNs != 0; });
    EXPECT_EQ(sample.running, 1);
    EXPECT_EQ(sample.runningUnlocked, 0);
}

// Readers on several threads never see a sample torn between two polls: each
// reply's y is -x, and the normalised values follow the raw ones.
TEST(StreamSample, LatestFromManyThreadsIsNeverTorn) {
    TestController controller;
    std::atomic<int> replies{0};
    controller.SetResponder([&](const std::string& message) {
        if (IsHandshakeMessage(message)) return Reply(LocalHandshakeReply());
        const double x = (replies++ % 7) * 0.25;
        return Reply(R"({"enabled":true,"floorSpeed":{"x":)" + std::to_string(x) + R"(,"y":)" +
                     std::to_string(-x) + R"(},"ringPosition":{"x":1}})");
    });
    StreamHandle stream = StartStream();
    WaitForState(stream, QUORVELLAN_STREAM_CONNECTED);

    // Read while the poll thread publishes 30 more samples (bounded in time).
    const std::uint64_t first = Latest(stream).sequence;
    const auto until = StreamClock::now() + std::chrono::seconds(10);
    std::atomic<bool> torn{false};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            std::uint64_t lastSequence = 0;
            while (lastSequence < first + 30 && StreamClock::now() < until) {
                const QuorvellanStreamSample s = Latest(stream);
                QuorvellanStreamSetUserPosition(stream.get(), 1.0, 2.0);
                if (s.sequence < lastSequence || s.floorSpeeds.y != -s.floorSpeeds.x ||
                    s.floorSpeedsNormalized.x != s.floorSpeeds.x / 1.5)
                    torn = true;
                lastSequence = s.sequence;
                // A pause that still gives many reads per publish, without
                // starving the poll thread where threads share one core (valgrind).
                std::this_thread::sleep_for(std::chrono::microseconds(20));
            }
        });
    }
    for (auto& reader : readers) reader.join();
    EXPECT_FALSE(torn);
    EXPECT_GE(Latest(stream).sequence, first + 30);
}

// ---- State transitions ------------------------------------------------------

TEST(StreamStates, ConnectingUntilAControllerAnswersThenConnected) {
    const std::int64_t beforeStart = QuorvellanStreamClockNs();
    StreamHandle stream = StartStream();
    const std::int64_t afterStart = QuorvellanStreamClockNs();
    EXPECT_EQ(Latest(stream).state, QUORVELLAN_STREAM_CONNECTING);
    const QuorvellanStreamSample failed = WaitForSample(stream, [](const auto& s) { return s.lastStatus != -1; });
    EXPECT_EQ(failed.state, QUORVELLAN_STREAM_CONNECTING);
    EXPECT_EQ(failed.lastStatus, QUORVELLAN_STATUS_FAILURE);
    // No reading yet: the time is Start's, so an age counts from there.
    EXPECT_GE(failed.timeNs, beforeStart);
    EXPECT_LE(failed.timeNs, afterStart);

    TestController controller;
    controller.SetResponder(HealthyAnswer);
    const QuorvellanStreamSample connected = WaitForState(stream, QUORVELLAN_STREAM_CONNECTED);
    EXPECT_EQ(connected.lastStatus, QUORVELLAN_STATUS_CONNECTED);
    EXPECT_EQ(connected.reconnects, 0u);
}

TEST(StreamStates, LostWhenTheControllerGoesThenConnectedAgain) {
    auto controller = std::make_unique<TestController>();
    controller->SetResponder(HealthyAnswer);
    StreamHandle stream = StartStream();
    WaitForSample(stream, [](const auto& s) { return IsConnected(s) && s.timeNs != 0; });

    controller.reset();
    const QuorvellanStreamSample lost = WaitForState(stream, QUORVELLAN_STREAM_LOST);
    EXPECT_EQ(lost.floorSpeeds.x, 0.0);
    EXPECT_EQ(lost.running, 0);
    EXPECT_STREQ(lost.serialNumber, "SN-0042");  // the last connection's

    controller = std::make_unique<TestController>();
    controller->SetResponder(HealthyAnswer);
    const QuorvellanStreamSample back = WaitForSample(stream, [](const auto& s) { return IsConnected(s); });
    EXPECT_EQ(back.reconnects, 1u);
    EXPECT_GT(back.sequence, lost.sequence);
}

TEST(StreamStates, ControllerTooOldAndWrongControllerAreReportedWhileRetrying) {
    TestController controller;
    std::atomic<int> handshakes{0};
    controller.SetResponder([&](const std::string& message) {
        if (!IsHandshakeMessage(message)) return HealthyAnswer(message);
        switch (handshakes++) {
            case 0: return Reply(LocalHandshakeReply("0"));
            case 1: return Reply(LocalHandshakeReply("1", "1", "1", "SOMETHING ELSE"));
            default: return Reply(LocalHandshakeReply());
        }
    });
    QuorvellanStreamOptions options = FastOptions();
    options.reconnectMinMs = 300;  // long enough to see each state
    options.reconnectMaxMs = 300;
    StreamHandle stream = StartStream(options);
    const QuorvellanStreamSample tooOld = WaitForState(stream, QUORVELLAN_STREAM_CONTROLLER_TOO_OLD);
    EXPECT_EQ(tooOld.lastStatus, QUORVELLAN_STATUS_VERSION_TOO_OLD);
    const QuorvellanStreamSample wrong = WaitForState(stream, QUORVELLAN_STREAM_WRONG_CONTROLLER);
    EXPECT_EQ(wrong.lastStatus, QUORVELLAN_STATUS_NOT_LOCAL_CONTROLLER);
    WaitForState(stream, QUORVELLAN_STREAM_CONNECTED);
}

// A controller that stops answering after the handshake: the failed read is
// counted and the stream reconnects in the background.
TEST(StreamStates, HangingControllerIsLostAndReconnected) {
    TestController controller;
    std::atomic<bool> hang{false};
    controller.SetResponder([&](const std::string& message) {
        if (IsHandshakeMessage(message)) return Reply(LocalHandshakeReply());
        Response response = HealthyAnswer(message);
        response.silent = hang.load();
        return response;
    });
    QuorvellanStreamOptions options = FastOptions();
    options.reconnectMinMs = 200;
    options.reconnectMaxMs = 1000;
    StreamHandle stream = StartStream(options);
    WaitForSample(stream, [](const auto& s) { return IsConnected(s) && s.timeNs != 0; });
    hang = true;
    const QuorvellanStreamSample lost = WaitForState(stream, QUORVELLAN_STREAM_LOST);
    EXPECT_GE(lost.failedReads, 1u);
    // Connections that answer the handshake and then hang give no good poll:
    // the stream backs off (0.2, 0.4, 0.8 s) instead of reconnecting after
    // every failed read (about 14 times in 1.5 s).
    const std::size_t connectionsBefore = controller.ConnectionCount();
    std::this_thread::sleep_for(milliseconds(1500));
    EXPECT_LE(controller.ConnectionCount() - connectionsBefore, 6u);
    hang = false;
    EXPECT_GE(WaitForState(stream, QUORVELLAN_STREAM_CONNECTED).reconnects, 1u);
}

// ---- Exchange times ------------------------------------------------------------

// Every reply after the handshake comes 30 ms late: every exchange a poll
// times took at least that long, whatever the machine's speed, so none may
// land in a bucket that ends at or below 25 ms.
TEST(StreamExchangeTimes, EveryPollExchangeIsCountedInItsBucket) {
    QuorvellanStreamExchangeHistogram histogram;
    QuorvellanStreamExchangeTimes(nullptr, &histogram);
    EXPECT_EQ(histogram.count, 0u);
    EXPECT_EQ(histogram.upperBoundSeconds[0], 0.0);
    QuorvellanStreamExchangeTimes(nullptr, nullptr);  // ignored

    TestController controller;
    controller.SetResponder([](const std::string& message) {
        Response response = HealthyAnswer(message);
        if (!IsHandshakeMessage(message)) response.delay = milliseconds(30);
        return response;
    });
    StreamHandle stream = StartStream();
    const QuorvellanStreamSample before =
        WaitForSample(stream, [](const auto& s) { return IsConnected(s) && s.sequence > 10; });
    QuorvellanStreamExchangeTimes(stream.get(), &histogram);
    QuorvellanStreamSample later;
    QuorvellanStreamLatest(stream.get(), &later);
    EXPECT_GE(histogram.count, 3u);  // ring, run state, speeds of at least one poll
    // Every exchange but the handshake and the serial number's is a poll's:
    // all those published before are timed (unless a stall cost a reconnect;
    // the slack of 3 allows failed first connects), and no more than were made
    // (a poll not yet published adds at most four). One exchange left untimed
    // per poll would be ten short.
    if (before.reconnects == 0 && before.failedReads == 0) {
        EXPECT_GE(histogram.count + 2 + 3, before.exchanges);
    }
    EXPECT_LE(histogram.count + 2, later.exchanges + 4);
    std::uint64_t total = 0;
    for (int i = 0; i < QUORVELLAN_STREAM_EXCHANGE_BUCKETS; ++i) {
        total += histogram.bucketCounts[i];
        if (i > 0) {
            EXPECT_LT(histogram.upperBoundSeconds[i - 1], histogram.upperBoundSeconds[i]);
        }
        if (histogram.upperBoundSeconds[i] <= 0.025) {
            EXPECT_EQ(histogram.bucketCounts[i], 0u) << "bucket " << i;
        }
    }
    EXPECT_EQ(total, histogram.count);
    EXPECT_TRUE(std::isinf(histogram.upperBoundSeconds[QUORVELLAN_STREAM_EXCHANGE_BUCKETS - 1]));
    EXPECT_GE(histogram.sumSeconds, 0.030 * static_cast<double>(histogram.count));
}

// ---- Commands ---------------------------------------------------------------

// A slow controller gives the game time to set its position many times per
// poll: the controller sees only ever newer positions, ending with the last.
TEST(StreamCommands, PositionIsCoalescedToTheNewest) {
    TestController controller;
    controller.SetResponder([](const std::string& message) {
        Response response = HealthyAnswer(message);
        response.delay = milliseconds(IsHandshakeMessage(message) ? 0 : 10);
        return response;
    });
    StreamHandle stream = StartStream();
    WaitForState(stream, QUORVELLAN_STREAM_CONNECTED);
    constexpr int kFrames = 2000;
    for (int frame = 1; frame <= kFrames; ++frame) {
        QuorvellanStreamSetUserPosition(stream.get(), frame, -frame);
        QuorvellanStreamSetUserRotation(stream.get(), 1.0, 0.0, 0.0, frame);
    }
    const std::size_t before = controller.MessageCount();
    ASSERT_TRUE(controller.WaitForMessages(before + 8));

    std::vector<double> sent;
    for (const auto& message : PollMessages(controller)) {
        if (!message.contains(key::kUserPositionX)) continue;
        sent.push_back(message[key::kUserPositionX].get<double>());
        EXPECT_EQ(message[key::kUserPositionY].get<double>(), -sent.back());
        // Each value keeps its own newest: the poll may come between the two sets.
        const double rotation = message[key::kUserRotationZ].get<double>();
        EXPECT_TRUE(rotation == sent.back() || rotation == sent.back() - 1) << rotation;
    }
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back(), kFrames);
    EXPECT_LT(sent.size(), 20u);
    for (std::size_t i = 1; i < sent.size(); ++i) EXPECT_GT(sent[i], sent[i - 1]);
}

TEST(StreamCommands, ManualSpeedsGoOutWithThePoll) {
    TestController controller;
    controller.SetResponder(HealthyAnswer);
    StreamHandle stream = StartStream();
    WaitForState(stream, QUORVELLAN_STREAM_CONNECTED);
    QuorvellanStreamSetManualSpeeds(stream.get(), 0.5, -0.25);
    const std::size_t before = controller.MessageCount();
    ASSERT_TRUE(controller.WaitForMessages(before + 6));
    int carrying = 0;
    for (const auto& message : PollMessages(controller)) {
        if (!message.contains(key::kManualXSpeed)) continue;
        ++carrying;
        EXPECT_EQ(message[key::kManualXSpeed].get<double>(), 0.5);
        EXPECT_EQ(message[key::kManualYSpeed].get<double>(), -0.25);
    }
    EXPECT_EQ(carrying, 1);
}

// Brake and run state: each in its own message, in the order given.
TEST(StreamCommands, BrakeAndRunStateKeepTheirOrder) {
    TestController controller;
    controller.SetResponder(HealthyAnswer);
    StreamHandle stream = StartStream();
    WaitForState(stream, QUORVELLAN_STREAM_CONNECTED);
    const std::vector<std::pair<std::string, bool>> given = {
        {key::kBrake, true}, {key::kEnabled, true}, {key::kBrake, false},
        {key::kEnabled, false}, {key::kEnabled, true}, {key::kBrake, true}};
    for (const auto& [name, value] : given) {
        const int queued = name == key::kBrake ? QuorvellanStreamSetBrake(stream.get(), value)
                                               : QuorvellanStreamSetRunState(stream.get(), value);
        EXPECT_EQ(queued, 1);
    }
    WaitForSample(stream, [&](const auto&) {
        std::size_t commands = 0;
        for (const auto& m : PollMessages(controller)) commands += m.contains(key::kBrake) || m.contains(key::kEnabled);
        return commands >= given.size();
    });
    std::vector<std::pair<std::string, bool>> sent;
    for (const auto& message : PollMessages(controller)) {
        for (const char* name : {key::kBrake, key::kEnabled}) {
            if (message.contains(name)) sent.emplace_back(name, message[name].get<bool>());
        }
        EXPECT_FALSE(message.contains(key::kBrake) && message.contains(key::kEnabled));
    }
    EXPECT_EQ(sent, given);
    EXPECT_EQ(Latest(stream).droppedCommands, 0u);
}

// An "enable" given while not connected is dropped and counted at once, so
// it cannot start the belts when the controller comes back.
TEST(StreamCommands, OnOffWhileDisconnectedIsDroppedAndNeverSentLater) {
    StreamHandle stream = StartStream();
    EXPECT_EQ(QuorvellanStreamSetRunState(stream.get(), 1), 0);
    EXPECT_EQ(QuorvellanStreamSetBrake(stream.get(), 0), 0);
    EXPECT_EQ(Latest(stream).droppedCommands, 2u);

    TestController controller;
    controller.SetResponder(HealthyAnswer);
    WaitForSample(stream, [](const auto& s) { return IsConnected(s) && s.timeNs != 0; });
    const std::size_t before = controller.MessageCount();
    ASSERT_TRUE(controller.WaitForMessages(before + 6));
    for (const auto& message : PollMessages(controller)) {
        EXPECT_FALSE(message.contains(key::kEnabled));
        EXPECT_FALSE(message.contains(key::kBrake));
    }
}

// ---- Start and Stop -----------------------------------------------------------

TEST(StreamLifecycle, SecondStartAndBadOptionsFailWithAReason) {
    StreamHandle stream = StartStream();
    QuorvellanStream* second = nullptr;
    EXPECT_EQ(QuorvellanStreamStart(nullptr, &second), QUORVELLAN_STREAM_ERROR_ALREADY_RUNNING);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(std::string(QuorvellanStreamErrorText(QUORVELLAN_STREAM_ERROR_ALREADY_RUNNING)).find("already"),
              std::string::npos);
    stream.reset();

    QuorvellanStreamOptions options = FastOptions();
    options.pollRateHz = 0;
    EXPECT_EQ(QuorvellanStreamStart(&options, &second), QUORVELLAN_STREAM_ERROR_BAD_OPTIONS);
    options = FastOptions();
    options.reconnectMaxMs = options.reconnectMinMs - 1;
    EXPECT_EQ(QuorvellanStreamStart(&options, &second), QUORVELLAN_STREAM_ERROR_BAD_OPTIONS);
    EXPECT_EQ(QuorvellanStreamStart(nullptr, nullptr), QUORVELLAN_STREAM_ERROR_BAD_OPTIONS);

    QuorvellanStreamSample none;
    QuorvellanStreamLatest(nullptr, &none);
    EXPECT_EQ(none.state, QUORVELLAN_STREAM_STOPPED);
    QuorvellanStreamStop(nullptr);
    EXPECT_EQ(QuorvellanStreamSetRunState(nullptr, 1), 0);
}

TEST(StreamLifecycle, StopIsBoundedWhileConnected) {
    TestController controller;
    controller.SetResponder(HealthyAnswer);
    StreamHandle stream = StartStream();
    WaitForState(stream, QUORVELLAN_STREAM_CONNECTED);
    ExpectBoundedStop(stream);
}

TEST(StreamLifecycle, StopIsBoundedWhileWaitingToReconnect) {
    QuorvellanStreamOptions options = FastOptions();
    options.reconnectMinMs = options.reconnectMaxMs = 60000;
    StreamHandle stream = StartStream(options);
    WaitForSample(stream, [](const auto& s) { return s.lastStatus == QUORVELLAN_STATUS_FAILURE; });
    ExpectBoundedStop(stream);
}

TEST(StreamLifecycle, StopIsBoundedWhileTheControllerHangs) {
    TestController controller;
    std::atomic<bool> hang{false};
    controller.SetResponder([&](const std::string& message) {
        Response response = HealthyAnswer(message);
        response.silent = hang.load() && !IsHandshakeMessage(message);
        return response;
    });
    StreamHandle stream = StartStream();
    WaitForState(stream, QUORVELLAN_STREAM_CONNECTED);
    hang = true;
    std::this_thread::sleep_for(milliseconds(30));  // inside a 100 ms read
    ExpectBoundedStop(stream);
}

// The connect would wait 3 s: Stop ends it.
TEST(StreamLifecycle, StopIsBoundedDuringAConnect) {
    NeverAcceptingListener listener;
    StreamHandle stream = StartStream();
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(Latest(stream).lastStatus, -1);  // still in the first connect
    ExpectBoundedStop(stream);
}

#if !defined(_WIN32)
// What a child of fork does with the parent's stream.
enum ChildOutcome { kChildDone = 0, kChildStopSlow = 10, kChildStartFailed, kChildNeverConnected };

ChildOutcome RunForkedChild(StreamHandle& inherited) {
    if (TimeCall([&] { inherited.reset(); }) >= kStopBound) return kChildStopSlow;
    QuorvellanStream* own = nullptr;
    if (QuorvellanStreamStart(nullptr, &own) != QUORVELLAN_STREAM_OK) return kChildStartFailed;
    StreamHandle stream(own);
    const auto until = StreamClock::now() + std::chrono::seconds(10);
    while (!IsConnected(Latest(stream))) {
        if (StreamClock::now() > until) return kChildNeverConnected;
        std::this_thread::sleep_for(milliseconds(2));
    }
    return kChildDone;
}

// The child tells its outcome through a pipe and ends by SIGKILL, so that no
// exit-time check (valgrind's leak check of what the threads fork left out
// held) runs in it. Returns -1 when it said nothing within 20 s.
int OutcomeOf(pid_t child, int fromChild) {
    pollfd ready{fromChild, POLLIN, 0};
    char outcome = -1;
    if (poll(&ready, 1, 20000) != 1 || read(fromChild, &outcome, 1) != 1) outcome = -1;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(fromChild);
    return outcome;
}

// After fork the child holds a copy of the stream whose thread is not there
// and whose connection is the parent's. Its Stop is bounded and sends nothing;
// its own stream connects (the controller's listener is inherited); the
// parent polls on, never losing its connection.
TEST(StreamFork, ChildStopsTheCopyWithoutTouchingTheParentsConnection) {
    TestController controller;
    controller.SetResponder(HealthyAnswer);
    StreamHandle stream = StartStream();
    WaitForSample(stream, [](const auto& s) { return IsConnected(s) && s.timeNs != 0; });
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const char outcome = static_cast<char>(RunForkedChild(stream));
        if (write(pipeFds[1], &outcome, 1) == 1) raise(SIGKILL);
        _exit(1);
    }
    close(pipeFds[1]);
    EXPECT_EQ(OutcomeOf(child, pipeFds[0]), kChildDone);
    const std::uint64_t later = Latest(stream).sequence + 50;
    const QuorvellanStreamSample after = WaitForSample(stream, [later](const auto& s) { return s.sequence > later; });
    EXPECT_TRUE(IsConnected(after));
    EXPECT_EQ(after.reconnects, 0u);
    EXPECT_EQ(after.failedReads, 0u);
    EXPECT_EQ(controller.ConnectionCount(), 2u);  // the parent's and the child's own
    ExpectBoundedStop(stream);
}

// A connect under way on the stream's thread would hold the library for up to
// its 3 s deadline (here the controller never accepts): a fork (Python's
// multiprocessing, a game starting a helper) must not wait for it.
TEST(StreamFork, ForkDoesNotWaitForAConnectUnderWay) {
    NeverAcceptingListener listener;
    StreamHandle stream = StartStream();
    std::this_thread::sleep_for(milliseconds(200));
    ASSERT_EQ(Latest(stream).lastStatus, -1);  // still in the first connect
    const auto before = StreamClock::now();
    const pid_t child = fork();
    if (child == 0) _exit(0);
    const auto forkTookMs = std::chrono::duration_cast<milliseconds>(StreamClock::now() - before).count();
    ASSERT_GT(child, 0);
    waitpid(child, nullptr, 0);
    EXPECT_LT(forkTookMs, 1000);
    ExpectBoundedStop(stream);
}

std::size_t EntriesIn(const char* directory) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory)) ++count;
    return count;
}
#endif

// A recording in a folder the ANSI code page cannot spell (a Windows user's
// own), named in UTF-8 to StartRecording and by $QUORVELLAN_RECORD.
TEST(StreamRecordingName, AnyUserFolderIsWrittenTo) {
    TestController controller;
    controller.SetResponder(HealthyAnswer);
    for (const bool fromEnvironment : {false, true}) {
        const std::string path = ::testing::TempDir() + "quorvellan-\xce\xa9\xce\xbc-\xe6\x97\xa5-" +
                                 (fromEnvironment ? "environment" : "argument") + ".jsonl";
        {
            ScopedVariable record("QUORVELLAN_RECORD", fromEnvironment ? path.c_str() : nullptr);
            const QuorvellanStreamOptions options = FastOptions();
            QuorvellanStream* started = nullptr;
            ASSERT_EQ(QuorvellanStreamStartRecording(&options, fromEnvironment ? nullptr : path.c_str(), &started),
                      QUORVELLAN_STREAM_OK);
            StreamHandle stream(started);
            WaitForSample(stream, [](const auto& s) { return IsConnected(s) && s.timeNs != 0; });
        }
        char header[80] = "";
        if (std::FILE* file = quorvellan::stream::OpenFile(path, "rb")) {
            std::fgets(header, sizeof header, file);
            std::fclose(file);
        }
        EXPECT_NE(std::string(header).find("\"format\":\"quorvellan-recording\""), std::string::npos)
            << (fromEnvironment ? "QUORVELLAN_RECORD" : "StartRecording") << ": " << header;
        std::filesystem::remove(quorvellan::stream::PathFromUtf8(path));
    }
}

// An editor enters and leaves play mode many times.
TEST(StreamLifecycle, HundredStartStopCyclesLeaveNothingBehind) {
#if !defined(_WIN32)
    // In a child process, so that its sockets are not counted as ours.
    quorvellan::faults::ControllerProcess controller(HealthyAnswer);
#else
    TestController controller;
    controller.SetResponder(HealthyAnswer);
#endif
    // The first cycle creates what the core keeps for the process (its
    // session; the socket too while DeInitInternal leaves it open), and so
    // does the last.
    WaitForState(StartStream(), QUORVELLAN_STREAM_CONNECTED);
#if !defined(_WIN32)
    const std::size_t threads = EntriesIn("/proc/self/task");
    const std::size_t descriptors = EntriesIn("/proc/self/fd");
    const std::size_t heap = quorvellan::faults::HeapInUse();
#endif
    int connected = 0;
    for (int cycle = 0; cycle < 100; ++cycle) {
        StreamHandle stream = StartStream();
        if (cycle % 2 == 1) connected += WaitForState(stream, QUORVELLAN_STREAM_CONNECTED).state == QUORVELLAN_STREAM_CONNECTED;
        QuorvellanStreamSetUserPosition(stream.get(), cycle, 0);
    }
    EXPECT_EQ(connected, 50);
#if !defined(_WIN32)
    EXPECT_EQ(EntriesIn("/proc/self/task"), threads);
    EXPECT_EQ(EntriesIn("/proc/self/fd"), descriptors);
    EXPECT_LT(quorvellan::faults::HeapInUse(), heap + 64 * 1024);
#endif
}

}  // namespace

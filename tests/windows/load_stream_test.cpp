// What a Windows application sees of QuorvellanStream.dll: loaded by name
// after the core (which it then takes), started, stopped in the middle of a
// connect and while connected, both DLLs freed, and everything loaded again.
#include <windows.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "stream/QuorvellanStream.h"
#include "tests/faults/faults_support.hpp"
#include "tests/stream/stream_support.hpp"
#include "tests/windows/stream_entry_points.hpp"

using namespace quorvellan::testing;
using quorvellan::faults::HealthyAnswer;
using quorvellan::faults::TimeCall;

namespace {

QuorvellanStream* Start(const StreamEntryPoints& entry) {
    // Filled here: this program links neither DLL.
    QuorvellanStreamOptions options{1, 20, 80, 0, 250.0};
    QuorvellanStream* stream = nullptr;
    EXPECT_EQ(entry.start(&options, &stream), QUORVELLAN_STREAM_OK);
    return stream;
}

bool WaitConnected(const StreamEntryPoints& entry, QuorvellanStream* stream) {
    const auto until = StreamClock::now() + std::chrono::seconds(5);
    QuorvellanStreamSample sample{};
    while (StreamClock::now() < until) {
        entry.latest(stream, &sample);
        if (sample.state == QUORVELLAN_STREAM_CONNECTED) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

void FreeBoth(HMODULE stream, HMODULE core) {
    EXPECT_TRUE(FreeLibrary(stream));
    EXPECT_TRUE(FreeLibrary(core));
    EXPECT_EQ(GetModuleHandleA("QuorvellanStream.dll"), nullptr);
    EXPECT_EQ(GetModuleHandleA("QuorvellanAPI.dll"), nullptr);
}

TEST(WindowsStream, StopDuringAConnectThenFreeBothAndLoadAgain) {
    {
        NeverAcceptingListener listener;
        HMODULE core = LoadLibraryA("QuorvellanAPI.dll");
        HMODULE module = LoadLibraryA("QuorvellanStream.dll");
        ASSERT_NE(core, nullptr);
        ASSERT_NE(module, nullptr);
        const StreamEntryPoints entry = ResolveStream(module);
        QuorvellanStream* stream = Start(entry);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // inside the 3 s connect
        EXPECT_LT(TimeCall([&] { entry.stop(stream); }), std::chrono::milliseconds(1000));
        FreeBoth(module, core);
    }

    TestController controller;
    controller.SetResponder(HealthyAnswer);
    for (int round = 0; round < 2; ++round) {
        HMODULE core = LoadLibraryA("QuorvellanAPI.dll");
        HMODULE module = LoadLibraryA("QuorvellanStream.dll");
        ASSERT_NE(module, nullptr);
        const StreamEntryPoints entry = ResolveStream(module);
        QuorvellanStream* stream = Start(entry);
        EXPECT_TRUE(WaitConnected(entry, stream)) << "round " << round;
        EXPECT_LT(TimeCall([&] { entry.stop(stream); }), std::chrono::milliseconds(1000));
        FreeBoth(module, core);
    }
}

}  // namespace

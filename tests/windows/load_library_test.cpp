// What a Windows application sees of QuorvellanAPI.dll: it loads the DLL by
// name, resolves every entry point with GetProcAddress, calls them against the
// test controller, unloads the DLL and loads it again. Nothing here links the
// library; every call goes through the resolved addresses.
#include <windows.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "api/QuorvellanAPI.h"
#include "tests/support/test_controller.hpp"

using namespace quorvellan::testing;

namespace {

constexpr const char* kLibraryName = "QuorvellanAPI.dll";
constexpr std::chrono::seconds kUnloadLimit{10};

// One reply that carries every member the queries read.
const std::string kStateReply =
    R"({"enabled":true,"floorSpeed":{"x":0.75,"y":-3.0},"locked":false,)"
    R"("ringPosition":{"x":1.25,"y":-2.5,"z":0.125},"sender":{"treadmill":{"serial number":"QV-2047"}}})";

#define QUORVELLAN_ENTRY_POINTS(X)                                                                      \
    X(InitInternal) X(DeInitInternal) X(CheckConnection) X(GetFloorSpeeds) X(GetFloorSpeedsNormalized) \
    X(GetFloorSpeedMagnitude) X(GetRing) X(GetTreadmillRunState) X(GetTreadmillSerialNumber)           \
    X(GetTreadmillInfo) X(GetAPILock) X(SetBrake) X(SetTreadmillRunState) X(SetManualSpeeds)          \
    X(SetUserPosition) X(SetUserRotation) X(SetAPILock)

// The entry points as resolved from one loaded DLL; their types come from the
// public header.
struct EntryPoints {
#define QUORVELLAN_DECLARE(name) decltype(&::name) name = nullptr;
    QUORVELLAN_ENTRY_POINTS(QUORVELLAN_DECLARE)
#undef QUORVELLAN_DECLARE
};

const char* const kEntryPointNames[] = {
#define QUORVELLAN_NAME(name) #name,
    QUORVELLAN_ENTRY_POINTS(QUORVELLAN_NAME)
#undef QUORVELLAN_NAME
};

template <typename Function>
void Resolve(HMODULE module, const char* name, Function& function) {
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    ASSERT_NE(function, nullptr) << name << " is not exported";
}

EntryPoints ResolveAll(HMODULE module) {
    EntryPoints entry;
#define QUORVELLAN_RESOLVE(name) Resolve(module, #name, entry.name);
    QUORVELLAN_ENTRY_POINTS(QUORVELLAN_RESOLVE)
#undef QUORVELLAN_RESOLVE
    return entry;
}

// FreeLibrary runs on a helper thread, so that a hang in the DLL's unload shows
// as a failure rather than as a stuck test. A thread stuck there holds the
// loader lock, which would stall the process exit too: end the process then.
void UnloadWithinLimit(HMODULE module) {
    std::promise<BOOL> freed;
    std::future<BOOL> result = freed.get_future();
    std::thread unloader([module, &freed] { freed.set_value(FreeLibrary(module)); });
    if (result.wait_for(kUnloadLimit) != std::future_status::ready) {
        ADD_FAILURE() << "FreeLibrary did not return within " << kUnloadLimit.count() << " s";
        std::fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 1);
    }
    unloader.join();
    EXPECT_TRUE(result.get()) << "FreeLibrary failed";
}

// The bytes of a later message: the members that sort before "sender", the
// short header, and the members that sort after it.
std::string MessageWith(const std::string& before, const std::string& after = "") {
    const std::string header = ShortHeaderMessage();
    std::string members = before + "," + header.substr(1, header.size() - 2);
    if (!after.empty()) members += "," + after;
    return "{" + members + "}";
}

void ConnectLocal(const EntryPoints& entry, TestController& controller) {
    controller.QueueReply(LocalHandshakeReply());
    int status = -1;
    ASSERT_EQ(entry.InitInternal(&status, true), 1);
    ASSERT_EQ(status, QUORVELLAN_STATUS_CONNECTED);
}

class WindowsLoadLibrary : public ::testing::Test {
protected:
    void SetUp() override { controller.SetDefaultReply(kStateReply); }

    HMODULE Load() {
        HMODULE module = LoadLibraryA(kLibraryName);
        EXPECT_NE(module, nullptr) << "LoadLibrary(" << kLibraryName << ") failed, error " << GetLastError();
        return module;
    }

    TestController controller;
};

TEST_F(WindowsLoadLibrary, ExportsEveryEntryPointUnderItsPlainName) {
    HMODULE module = Load();
    ASSERT_NE(module, nullptr);
    for (const char* name : kEntryPointNames) EXPECT_NE(GetProcAddress(module, name), nullptr) << name;
    // No decorated or internal name is reachable.
    for (const char* name : {"_InitInternal", "InitInternal@8", "DllMain", "_Z12InitInternalPib"})
        EXPECT_EQ(GetProcAddress(module, name), nullptr) << name;
    UnloadWithinLimit(module);
}

TEST_F(WindowsLoadLibrary, QueriesReturnTheControllersValues) {
    HMODULE module = Load();
    ASSERT_NE(module, nullptr);
    const EntryPoints entry = ResolveAll(module);
    ASSERT_FALSE(HasFatalFailure());
    ConnectLocal(entry, controller);
    ASSERT_FALSE(HasFatalFailure());

    const FloorSpeeds raw = entry.GetFloorSpeeds();
    EXPECT_EQ(raw.x, 0.75);
    EXPECT_EQ(raw.y, -3.0);
    const FloorSpeeds normalized = entry.GetFloorSpeedsNormalized();
    EXPECT_EQ(normalized.x, 0.5);
    EXPECT_EQ(normalized.y, -1.5);  // -2.0 limited
    EXPECT_DOUBLE_EQ(entry.GetFloorSpeedMagnitude(), std::hypot(0.75, -3.0));
    const Ring ring = entry.GetRing();
    EXPECT_EQ(ring.x, 1.25);
    EXPECT_EQ(ring.y, -2.5);
    EXPECT_EQ(ring.z, 0.125);
    EXPECT_EQ(ring.w, 0.45);
    EXPECT_TRUE(entry.GetTreadmillRunState(false));
    EXPECT_TRUE(entry.GetTreadmillRunState(true));

    // The buffer comes from the C runtime the DLL shares with the application.
    char* serial = const_cast<char*>(entry.GetTreadmillSerialNumber());
    ASSERT_NE(serial, nullptr);
    EXPECT_STREQ(serial, "QV-2047");
    std::free(serial);

    // The 96-byte record is written through the caller's result pointer.
    TreadmillInfo info;
    std::memset(&info, 0xA5, sizeof info);
    info = entry.GetTreadmillInfo();
    for (unsigned char byte : info.reserved) ASSERT_EQ(byte, 0);
    EXPECT_FALSE(entry.GetAPILock());
    EXPECT_EQ(entry.CheckConnection(), 1);
    UnloadWithinLimit(module);
}

TEST_F(WindowsLoadLibrary, CommandArgumentsReachTheWire) {
    HMODULE module = Load();
    ASSERT_NE(module, nullptr);
    const EntryPoints entry = ResolveAll(module);
    ASSERT_FALSE(HasFatalFailure());
    ConnectLocal(entry, controller);
    ASSERT_FALSE(HasFatalFailure());

    entry.SetManualSpeeds(0.5, -0.25);
    entry.SetBrake(true);
    entry.SetUserPosition(2.0, -1.0);
    entry.SetUserRotation(1.0, 0.0, 0.5, 0.0);
    entry.SetAPILock(true);
    entry.SetTreadmillRunState(false);
    const auto messages = controller.Messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[1], MessageWith(R"("brake":true,"manualXSpeed":0.5,"manualYSpeed":-0.25)"));
    EXPECT_EQ(messages[2], MessageWith(R"("enabled":false)",
                                       R"("user position x":2.0,"user position y":-1.0,"user rotation w":1.0,)"
                                       R"("user rotation x":0.0,"user rotation y":0.5,"user rotation z":0.0)"));
    EXPECT_FALSE(entry.GetAPILock());
    UnloadWithinLimit(module);
}

TEST_F(WindowsLoadLibrary, LoadsAgainAfterUnloadWithAFreshState) {
    HMODULE module = Load();
    ASSERT_NE(module, nullptr);
    EntryPoints entry = ResolveAll(module);
    ASSERT_FALSE(HasFatalFailure());
    ConnectLocal(entry, controller);
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(entry.GetFloorSpeeds().x, 0.75);
    UnloadWithinLimit(module);  // still connected

    module = Load();
    ASSERT_NE(module, nullptr);
    entry = ResolveAll(module);
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(entry.CheckConnection(), 0) << "the session outlived the unload";
    EXPECT_EQ(entry.GetRing().w, 0.0);
    ConnectLocal(entry, controller);
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(controller.ConnectionCount(), 2u);
    const Ring ring = entry.GetRing();
    EXPECT_EQ(ring.x, 1.25);
    EXPECT_EQ(ring.w, 0.45);
    UnloadWithinLimit(module);
}

TEST_F(WindowsLoadLibrary, UnloadsAfterTheControllerIsGone) {
    HMODULE module = Load();
    ASSERT_NE(module, nullptr);
    const EntryPoints entry = ResolveAll(module);
    ASSERT_FALSE(HasFatalFailure());
    ConnectLocal(entry, controller);
    ASSERT_FALSE(HasFatalFailure());
    controller.Stop();
    const FloorSpeeds speeds = entry.GetFloorSpeeds();
    EXPECT_EQ(speeds.x, 0.0);
    EXPECT_EQ(speeds.y, 0.0);
    UnloadWithinLimit(module);
}

TEST_F(WindowsLoadLibrary, UnloadsAfterDeInitInternal) {
    HMODULE module = Load();
    ASSERT_NE(module, nullptr);
    const EntryPoints entry = ResolveAll(module);
    ASSERT_FALSE(HasFatalFailure());
    ConnectLocal(entry, controller);
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(entry.DeInitInternal(), 1);
    UnloadWithinLimit(module);
}

TEST_F(WindowsLoadLibrary, UnloadsWithoutEverConnecting) {
    for (int round = 0; round < 2; ++round) {
        HMODULE module = Load();
        ASSERT_NE(module, nullptr);
        const EntryPoints entry = ResolveAll(module);
        ASSERT_FALSE(HasFatalFailure());
        EXPECT_EQ(entry.CheckConnection(), 0);
        EXPECT_EQ(entry.GetFloorSpeedMagnitude(), 0.0);
        EXPECT_EQ(entry.DeInitInternal(), 1);
        UnloadWithinLimit(module);
    }
    EXPECT_EQ(controller.ConnectionCount(), 0u);
}

}  // namespace

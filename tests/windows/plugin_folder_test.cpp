// A host that loads plugins by full path from a folder off the DLL search path
// (Unity's Assets/Plugins/x86_64): QuorvellanStream.dll is loaded first, with
// QuorvellanAPI.dll beside it. This program lives in a folder of its own that
// holds neither DLL, and the plugin folder is neither its working directory
// nor on PATH.
#include <windows.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "stream/QuorvellanStream.h"
#include "tests/faults/faults_support.hpp"
#include "tests/windows/stream_entry_points.hpp"

using quorvellan::faults::HealthyAnswer;
using quorvellan::testing::ResolveStream;
using quorvellan::testing::StreamEntryPoints;
using quorvellan::testing::TestController;

namespace {

// A fresh folder under %TEMP% with the stream, and the core when asked.
std::string PluginFolder(bool withCore) {
    char temp[MAX_PATH];
    EXPECT_GT(GetTempPathA(MAX_PATH, temp), 0u);
    const std::string folder = std::string(temp) + "quorvellan-plugins-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(folder.c_str(), nullptr);
    EXPECT_TRUE(CopyFileA(QUORVELLAN_STREAM_DLL, (folder + "\\QuorvellanStream.dll").c_str(), FALSE));
    if (withCore) {
        EXPECT_TRUE(CopyFileA(QUORVELLAN_CORE_DLL, (folder + "\\QuorvellanAPI.dll").c_str(), FALSE));
    }
    return folder;
}

HMODULE LoadStream(const std::string& folder, StreamEntryPoints& entry) {
    EXPECT_EQ(GetModuleHandleA("QuorvellanAPI.dll"), nullptr) << "nothing has loaded the core yet";
    HMODULE module = LoadLibraryA((folder + "\\QuorvellanStream.dll").c_str());
    EXPECT_NE(module, nullptr) << "LoadLibrary error " << GetLastError();
    if (!module) return nullptr;
    entry = ResolveStream(module);
    return module;
}

std::string ModulePath(HMODULE module) {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(module, path, MAX_PATH);
    return path;
}

TEST(PluginFolder, StreamFirstByFullPathReadsSamples) {
    TestController controller;
    controller.SetResponder(HealthyAnswer);
    const std::string folder = PluginFolder(true);
    StreamEntryPoints entry;
    HMODULE module = LoadStream(folder, entry);
    ASSERT_NE(module, nullptr);

    QuorvellanStreamOptions options{1, 20, 80, 0, 250.0};
    QuorvellanStream* stream = nullptr;
    ASSERT_EQ(entry.start(&options, &stream), QUORVELLAN_STREAM_OK);
    // The core beside the stream, not one found elsewhere.
    EXPECT_EQ(CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, ModulePath(GetModuleHandleA("QuorvellanAPI.dll")).c_str(),
                             -1, (folder + "\\QuorvellanAPI.dll").c_str(), -1),
              CSTR_EQUAL)
        << ModulePath(GetModuleHandleA("QuorvellanAPI.dll"));

    int fresh = 0;
    QuorvellanStreamSample sample{};
    std::uint64_t seen = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (fresh < 5 && std::chrono::steady_clock::now() < until) {
        entry.latest(stream, &sample);
        if (sample.state == QUORVELLAN_STREAM_CONNECTED && sample.sequence != seen) {
            ++fresh;
            seen = sample.sequence;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(fresh, 5) << "state " << sample.state << ", last status " << sample.lastStatus;
    EXPECT_EQ(sample.ring.w, 0.45);
    entry.stop(stream);
    EXPECT_TRUE(FreeLibrary(module));
}

TEST(PluginFolder, WithoutTheCoreStartSaysWhatIsMissing) {
    const std::string folder = PluginFolder(false);
    StreamEntryPoints entry;
    HMODULE module = LoadStream(folder, entry);
    ASSERT_NE(module, nullptr);
    QuorvellanStream* stream = nullptr;
    const int result = entry.start(nullptr, &stream);
    EXPECT_EQ(result, QUORVELLAN_STREAM_ERROR_NO_CORE);
    EXPECT_EQ(stream, nullptr);
    EXPECT_NE(std::string(entry.errorText(result)).find("QuorvellanAPI.dll"), std::string::npos);
    EXPECT_TRUE(FreeLibrary(module));
}

}  // namespace

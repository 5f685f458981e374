// The config file: what a user may write, what is refused and why, and the
// calibration written back without losing the user's other keys.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#if !defined(_WIN32)
#  include <sys/stat.h>
#endif

#include <nlohmann/json.hpp>

#include "config.hpp"
#include "layer_files.hpp"
#include "log.hpp"
#include "stream/utf8_paths.hpp"
#include "tests/support/environment.hpp"

namespace quorvellan::openxr {
namespace {

TEST(OpenXrConfig, ReadsEveryKeyAndDefaultsTheRest) {
    struct Case {
        const char* text;
        bool enable;
        const char* hand;
        double fullDeflectionSpeed;
        StickFrame mode;
        double centreX, centreZ, forwardYawDegrees;
        const char* application = "";
    } cases[] = {
        {"{}", true, "left", 1.5, StickFrame::head, 0.0, 0.0, 0.0},
        {R"({"enable": false, "hand": "right", "fullDeflectionSpeed": 2.5,
            "mode": "controller", "calibration": {"centre": [0.5, -1], "forwardYaw": -30}})",
         false, "right", 2.5, StickFrame::controller, 0.5, -1.0, -30.0},
        {R"({"hand": "right", "games": {"G": {"enable": false, "hand": "left", "fullDeflectionSpeed": 3,
            "mode": "controller"}}})", false, "left", 3.0, StickFrame::controller, 0.0, 0.0, 0.0, "G"},
        {R"({"games": {"G": {"enable": false}}, "hand": "right"})", true, "right", 1.5, StickFrame::head, 0, 0, 0, "H"},
        {R"({"games": {"G": {"mode": "controller"}}, "enable": false})", false, "left", 1.5, StickFrame::controller,
         0.0, 0.0, 0.0, "G"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ConfigResult result = parseConfig(c.text, c.application);
        ASSERT_TRUE(result.config) << result.error;
        EXPECT_EQ(result.config->enable, c.enable);
        EXPECT_EQ(result.config->hand, c.hand);
        EXPECT_EQ(result.config->fullDeflectionSpeed, c.fullDeflectionSpeed);
        EXPECT_EQ(result.config->mode, c.mode);
        EXPECT_EQ(result.config->calibration.centreX, c.centreX);
        EXPECT_EQ(result.config->calibration.centreZ, c.centreZ);
        EXPECT_EQ(result.config->calibration.forwardYawDegrees, c.forwardYawDegrees);
    }
}

TEST(OpenXrConfig, RefusesBadFilesWithAMessageThatNamesTheKey) {
    struct Case {
        const char* text;
        const char* message;  // a part of the error
    } cases[] = {
        {"", "not valid JSON"},
        {"{\"hand\": \"left\"", "not valid JSON"},
        {"[1, 2]", "one JSON object"},
        {R"({"enable": "yes"})", "\"enable\""},
        {R"({"hand": "middle"})", "\"hand\" must be \"left\" or \"right\""},
        {R"({"hand": 1})", "\"hand\""},
        {R"({"fullDeflectionSpeed": 0})", "above 0"},
        {R"({"fullDeflectionSpeed": -1})", "above 0"},
        {R"({"fullDeflectionSpeed": "fast"})", "\"fullDeflectionSpeed\" must be a number"},
        {R"({"mode": "hand"})", "\"mode\""},
        {R"({"calibration": [0, 0]})", "\"calibration\" must be an object"},
        {R"({"calibration": {"centre": [1]}})", "calibration.centre"},
        {R"({"calibration": {"centre": [1, "a"]}})", "calibration.centre[1]"},
        {R"({"calibration": {"forwardYaw": null}})", "calibration.forwardYaw"},
        {R"({"calibration": {"center": [0, 0]}})", "unknown key \"calibration.center\""},
        {R"({"fullDeflectionSpeeed": 2})", "unknown key \"fullDeflectionSpeeed\""},
        {R"({"games": ["G"]})", "\"games\" must be an object"},
        {R"({"games": {"G": true}})", "\"games.G\" must be an object"},
        {R"({"games": {"G": {"hand": "middle"}}})", "\"games.G.hand\" must be"},
        {R"({"games": {"G": {"calibration": {}}}})", "unknown key \"games.G.calibration\""},
    };
    for (const auto& c : cases) {
        ConfigResult result = parseConfig(c.text);
        EXPECT_FALSE(result.config) << c.text;
        EXPECT_NE(result.error.find(c.message), std::string::npos) << c.text << " -> " << result.error;
    }
}

TEST(OpenXrConfig, CalibrationIsWrittenBackKeepingTheOtherKeys) {
    Calibration calibration{0.25, -0.5, 90.0};
    struct Case {
        const char* before;
        const char* kept;  // a key that must survive, or ""
    } cases[] = {
        {R"({"hand": "right", "calibration": {"centre": [9, 9], "forwardYaw": 9}})", "hand"},
        {R"({"fullDeflectionSpeed": 2})", "fullDeflectionSpeed"},
        {"not json at all", ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        std::string after = withCalibration(c.before, calibration);
        ConfigResult reread = parseConfig(after);
        ASSERT_TRUE(reread.config) << after;
        EXPECT_EQ(reread.config->calibration.centreX, 0.25);
        EXPECT_EQ(reread.config->calibration.centreZ, -0.5);
        EXPECT_EQ(reread.config->calibration.forwardYawDegrees, 90.0);
        if (*c.kept) {
            EXPECT_EQ(nlohmann::json::parse(after)[c.kept], nlohmann::json::parse(c.before)[c.kept]) << after;
        }
    }
}

#if !defined(_WIN32)
// Only a small regular file is read: anything else is refused, saying why,
// without waiting on it (a FIFO) or reading it into memory (a device).
TEST(OpenXrConfig, ReadsOnlyASmallRegularFile) {
    const std::string folder = ::testing::TempDir() + "quorvellan_config_files", fifo = folder + "/fifo";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::ofstream(folder + "/large") << "{" << std::string(configSizeLimit, ' ') << "}";
    const std::pair<std::string, const char*> cases[] = {
        {fifo, "not a regular file"}, {"/dev/zero", "not a regular file"}, {folder, "not a regular file"},
        {folder + "/large", "larger than 64 KiB"}, {folder + "/none", "no config file"}};
    for (const auto& [path, message] : cases) {
        ConfigResult result = loadConfigFile(path);
        EXPECT_FALSE(result.config) << path;
        EXPECT_NE(result.error.find(message), std::string::npos) << path << " -> " << result.error;
    }
    std::filesystem::remove_all(folder);
}

TEST(OpenXrConfig, PathFromTheVariableThenTheUsersConfigFolder) {
    struct Case {
        const char* explicitPath;
        const char* configHome;
        const char* home;
        const char* expected;
    } cases[] = {
        {"/tmp/x.json", "/cfg", "/home/u", "/tmp/x.json"},
        {nullptr, "/cfg", "/home/u", "/cfg/quorvellan/openxr.json"},
        {nullptr, nullptr, "/home/u", "/home/u/.config/quorvellan/openxr.json"},
        {"", "", "/home/u", "/home/u/.config/quorvellan/openxr.json"},
        {nullptr, nullptr, nullptr, ""},
    };
    for (const auto& c : cases) {
        quorvellan::testing::ScopedVariable explicitPath("QUORVELLAN_XR_CONFIG", c.explicitPath);
        quorvellan::testing::ScopedVariable configHome("XDG_CONFIG_HOME", c.configHome);
        quorvellan::testing::ScopedVariable home("HOME", c.home);
        EXPECT_EQ(configPath(), c.expected);
    }
    EXPECT_EQ(calibrationTriggerPath("/a/openxr.json"), "/a/openxr.json.calibrate");
}

TEST(OpenXrLog, PathFromTheVariableThenTheUsersStateFolder) {
    const char* cases[][4] = {{"/tmp/x.log", "/st", "/home/u", "/tmp/x.log"},
                              {"", "/st", "/home/u", "/st/quorvellan/openxr.log"},
                              {nullptr, nullptr, "/home/u", "/home/u/.local/state/quorvellan/openxr.log"},
                              {nullptr, nullptr, nullptr, ""}};
    for (const auto& c : cases) {
        quorvellan::testing::ScopedVariable log("QUORVELLAN_XR_LOG", c[0]), state("XDG_STATE_HOME", c[1]), home("HOME", c[2]);
        EXPECT_EQ(logPath(), c[3]);
    }
    // Past the limit at instance creation, the log is set aside as <log>.1.
    const std::string log = ::testing::TempDir() + "quorvellan_rotated.log";
    std::ofstream(log) << std::string(logSizeLimit + 1, 'x');
    quorvellan::testing::ScopedVariable variable("QUORVELLAN_XR_LOG", log);
    prepareLog();
    EXPECT_FALSE(std::filesystem::exists(log));
    EXPECT_EQ(std::filesystem::file_size(log + ".1"), logSizeLimit + 1);
    std::filesystem::remove(log + ".1");
}
#else
// A user whose name the ANSI code page cannot spell: the per-user folders
// come from the wide environment, and the config, its calibration and the log
// are found and written there.
TEST(OpenXrUserFiles, FoldersOutsideTheAnsiCodePageAreUsed) {
    using stream::OpenFile;
    using stream::PathFromUtf8;
    const std::string folder = stream::Utf8Of(std::filesystem::temp_directory_path()) + "quorvellan-\xce\xa9\xce\xbc-\xe6\x97\xa5";
    std::filesystem::create_directories(PathFromUtf8(folder + "\\Quorvellan"));
    quorvellan::testing::ScopedVariable config("QUORVELLAN_XR_CONFIG", nullptr), log("QUORVELLAN_XR_LOG", nullptr),
        appData("APPDATA", folder), localAppData("LOCALAPPDATA", folder);
    ASSERT_EQ(configPath(), folder + "\\Quorvellan\\openxr.json");
    ASSERT_EQ(logPath(), folder + "\\Quorvellan\\openxr.log");
    std::FILE* file = OpenFile(configPath(), "wb");
    ASSERT_TRUE(file);
    std::fputs(R"({"hand": "right"})", file);
    std::fclose(file);
    Calibration calibration;
    calibration.forwardYawDegrees = 90;
    EXPECT_EQ(writeCalibration(configPath(), calibration), "");
    const ConfigResult result = loadConfigFile(configPath());
    ASSERT_TRUE(result.config) << result.error;
    EXPECT_EQ(result.config->hand, "right");
    EXPECT_EQ(result.config->calibration.forwardYawDegrees, 90);
    prepareLog();
    logLine("a line");
    char line[64] = "";
    if (std::FILE* logFile = OpenFile(logPath(), "r")) {
        std::fgets(line, sizeof line, logFile);
        std::fclose(logFile);
    }
    EXPECT_STREQ(line, "quorvellan-openxr: a line\n");
    std::filesystem::remove_all(PathFromUtf8(folder));
}
#endif

}  // namespace
}  // namespace quorvellan::openxr

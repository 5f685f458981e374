// The shared library exports its entry points and nothing else: no template,
// typeinfo or dependency symbol leaks out of it.
#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace {

// Names of the defined dynamic symbols of `library`, as nm lists them.
std::set<std::string> DefinedDynamicSymbols(const std::string& library) {
    const std::string command = "nm -D --defined-only \"" + library + "\"";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::set<std::string> names;
    if (!pipe) return names;
    char line[4096];
    while (std::fgets(line, sizeof line, pipe.get())) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name) names.insert(name);
    }
    return names;
}

const std::set<std::string> kEntryPoints = {
    "InitInternal",         "DeInitInternal",        "CheckConnection",          "GetFloorSpeeds",
    "GetFloorSpeedsNormalized", "GetFloorSpeedMagnitude", "GetRing",            "GetTreadmillRunState",
    "GetTreadmillSerialNumber", "GetTreadmillInfo",  "GetAPILock",               "SetBrake",
    "SetTreadmillRunState", "SetManualSpeeds",       "SetUserPosition",          "SetUserRotation",
    "SetAPILock"};

TEST(ExportedSymbols, ExactlyTheEntryPoints) {
    EXPECT_EQ(DefinedDynamicSymbols(QUORVELLAN_LIBRARY_FILE), kEntryPoints);
}

TEST(ExportedSymbols, TheRemoteTestVariantToo) {
    EXPECT_EQ(DefinedDynamicSymbols(QUORVELLAN_REMOTE_LIBRARY_FILE), kEntryPoints);
}

}  // namespace

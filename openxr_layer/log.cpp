#include "log.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace quorvellan::openxr {
namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

}  // namespace

std::string logPath() {
    std::string explicitPath = environment("QUORVELLAN_XR_LOG");
    if (!explicitPath.empty()) return explicitPath;
#if defined(_WIN32)
    std::string localAppData = environment("LOCALAPPDATA");
    return localAppData.empty() ? "" : localAppData + "\\Quorvellan\\openxr.log";
#else
    std::string stateHome = environment("XDG_STATE_HOME");
    if (stateHome.empty()) {
        std::string home = environment("HOME");
        if (home.empty()) return "";
        stateHome = home + "/.local/state";
    }
    return stateHome + "/quorvellan/openxr.log";
#endif
}

void prepareLog() noexcept {
    try {
        namespace fs = std::filesystem;
        fs::path path = logPath();
        if (path.empty()) return;
        std::error_code error;
        if (path.has_parent_path()) fs::create_directories(path.parent_path(), error);
        // Only a regular file: a FIFO or a device named by the variable stays.
        if (!fs::is_regular_file(path, error)) return;
        std::uintmax_t size = fs::file_size(path, error);
        if (!error && size > logSizeLimit) fs::rename(path, path.string() + ".1", error);
    } catch (...) {
        // No log folder: the lines still go to stderr.
    }
}

void logLine(const std::string& message) noexcept {
    try {
        std::string line = "quorvellan-openxr: " + message + "\n";
        std::fputs(line.c_str(), stderr);
        // Opened per line: the layer logs a few lines per session, and a
        // file kept open would outlive a test that removes it.
        std::string path = logPath();
        if (!path.empty()) {
            if (std::FILE* file = std::fopen(path.c_str(), "a")) {
                std::fputs(line.c_str(), file);
                std::fclose(file);
            }
        }
    } catch (...) {
        // No memory for the line: nothing more a logger can do.
    }
}

}  // namespace quorvellan::openxr

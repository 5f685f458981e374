#include "log.hpp"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "user_files.hpp"
#include "utf8_paths.hpp"

namespace quorvellan::openxr {

std::string logPath() {
    return userFilePath({"QUORVELLAN_XR_LOG", "LOCALAPPDATA", "XDG_STATE_HOME", ".local/state", "openxr.log"});
}

void prepareLog() noexcept {
    try {
        namespace fs = std::filesystem;
        fs::path path = stream::PathFromUtf8(logPath());
        if (path.empty()) return;
        std::error_code error;
        if (path.has_parent_path()) fs::create_directories(path.parent_path(), error);
        // Only a regular file: a FIFO or a device named by the variable stays.
        if (!fs::is_regular_file(path, error)) return;
        std::uintmax_t size = fs::file_size(path, error);
        if (!error && size > logSizeLimit) fs::rename(path, fs::path(path) += ".1", error);
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
            if (std::FILE* file = stream::OpenFile(path, "a")) {
                std::fputs(line.c_str(), file);
                std::fclose(file);
            }
        }
    } catch (...) {
        // No memory for the line: nothing more a logger can do.
    }
}

}  // namespace quorvellan::openxr

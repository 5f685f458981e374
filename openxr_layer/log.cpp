#include "log.hpp"

#include <cstdio>
#include <cstdlib>

namespace quorvellan::openxr {

void logLine(const std::string& message) noexcept {
    try {
        std::string line = "quorvellan-openxr: " + message + "\n";
        std::fputs(line.c_str(), stderr);
        // Opened per line: the layer logs a few lines per session, and a
        // file kept open would outlive a test that removes it.
        if (const char* path = std::getenv("QUORVELLAN_XR_LOG"); path && *path) {
            if (std::FILE* file = std::fopen(path, "a")) {
                std::fputs(line.c_str(), file);
                std::fclose(file);
            }
        }
    } catch (...) {
        // No memory for the line: nothing more a logger can do.
    }
}

}  // namespace quorvellan::openxr

// The layer's messages: one line each, prefixed "quorvellan-openxr: ", to
// stderr and appended to the log file (logPath()): a game's stderr often goes
// nowhere a user can read (on Windows, always).
#pragma once

#include <cstdint>
#include <string>

namespace quorvellan::openxr {

// A log past this size at instance creation is set aside (prepareLog).
constexpr std::uintmax_t logSizeLimit = 1024 * 1024;

void logLine(const std::string& message) noexcept;

// $QUORVELLAN_XR_LOG, else the per-user log (Linux:
// $XDG_STATE_HOME/quorvellan/openxr.log or ~/.local/state/...; Windows:
// %LOCALAPPDATA%\Quorvellan\openxr.log); "" when no variable names a home.
std::string logPath();

// Once per instance, before its lines and outside the layer's lock (file
// work): makes the log's folder and renames a log larger than logSizeLimit
// to <log>.1, replacing the one before, so the log stays bounded.
void prepareLog() noexcept;

}  // namespace quorvellan::openxr

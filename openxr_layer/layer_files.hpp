// The layer's file work, apart from its entry points: the config read at
// instance creation and the calibration scripts/xr-calibrate asks for (an
// empty request file beside the config, answered by removing it or by
// writing why the calibration failed into it). Nothing here waits on a file
// that is not a regular one; the layer calls none of it under its lock.
#pragma once

#include <cstddef>
#include <string>

#include "config.hpp"

namespace quorvellan::openxr {

// A config is a few hundred bytes: this bounds what a mistaken path costs.
constexpr std::size_t configSizeLimit = 64 * 1024;

// The config at `path`, or in `error` a line for the log saying why the layer
// passes through: no such file, not a regular file (a FIFO, a device), larger
// than configSizeLimit, unreadable, or a bad key (parseConfig, which applies
// `application`'s section).
ConfigResult loadConfigFile(const std::string& path, const std::string& application = "");

// Whether a request waits: an empty regular file at calibrationTriggerPath.
// One that holds text has been answered with a failure.
bool calibrationRequested(const std::string& configPath);

// Writes `calibration` into the config, its other keys kept: to a temporary
// file of a name of its own beside the file (through a symlink: beside its
// target, so the link stays), then renamed over it. "" when done, else why
// not, with nothing left behind.
std::string writeCalibration(const std::string& configPath, const Calibration& calibration);

// Answers the request: removes it when `failure` is "", else writes the
// failure into it for xr-calibrate to show. "" when answered, else why not.
std::string answerCalibrationRequest(const std::string& configPath, const std::string& failure);

}  // namespace quorvellan::openxr

// The layer's settings: a small JSON file a user edits (keys in
// docs/openxr-layer.md), found by configPath().
#pragma once

#include <optional>
#include <string>

#include "locomotion.hpp"

namespace quorvellan::openxr {

enum class StickFrame { head, controller };

struct Config {
    bool enable = true;
    std::string hand = "left";
    double fullDeflectionSpeed = 1.5;  // m/s of walking that reads as full stick
    StickFrame mode = StickFrame::head;
    Calibration calibration;
};

// Either the settings or, for a file the layer must not act on, why.
struct ConfigResult {
    std::optional<Config> config;
    std::string error;
};

// Reads a config file's text. Every key is optional; an unknown key, a value
// of the wrong type or out of range makes the whole file an error, so that a
// typo never walks a game the user did not mean to. "games" holds sections
// keyed by an application's name (XrApplicationInfo::applicationName), each
// overriding "enable", "hand", "mode" or "fullDeflectionSpeed" for that
// application alone.
ConfigResult parseConfig(const std::string& text, const std::string& application = "");

// The config file's text with its "calibration" replaced, every other key
// kept; an unreadable text gives a file with the calibration alone.
std::string withCalibration(const std::string& text, const Calibration& calibration);

// $QUORVELLAN_XR_CONFIG, else the per-user file (Linux:
// $XDG_CONFIG_HOME/quorvellan/openxr.json or ~/.config/...; Windows:
// %APPDATA%\Quorvellan\openxr.json); "" when no variable names a home.
std::string configPath();

// The file that asks the layer to calibrate: the config path + ".calibrate".
std::string calibrationTriggerPath(const std::string& configPath);

}  // namespace quorvellan::openxr

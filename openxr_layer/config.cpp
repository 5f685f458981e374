#include "config.hpp"

#include <cmath>
#include <cstdlib>
#include <set>

#include <nlohmann/json.hpp>

namespace quorvellan::openxr {
namespace {

using nlohmann::json;

struct BadValue {
    std::string message;
};

const json* find(const json& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

double finiteNumber(const json& value, const std::string& name) {
    if (!value.is_number() || !std::isfinite(value.get<double>())) {
        throw BadValue{"\"" + name + "\" must be a number"};
    }
    return value.get<double>();
}

Calibration readCalibration(const json& value) {
    if (!value.is_object()) {
        throw BadValue{"\"calibration\" must be an object {\"centre\": [x, z], \"forwardYaw\": degrees}"};
    }
    for (const auto& item : value.items()) {
        if (item.key() != "centre" && item.key() != "forwardYaw") {
            throw BadValue{"unknown key \"calibration." + item.key() + "\""};
        }
    }
    Calibration calibration;
    if (const json* centre = find(value, "centre")) {
        if (!centre->is_array() || centre->size() != 2) {
            throw BadValue{"\"calibration.centre\" must be [x, z] in metres"};
        }
        calibration.centreX = finiteNumber((*centre)[0], "calibration.centre[0]");
        calibration.centreZ = finiteNumber((*centre)[1], "calibration.centre[1]");
    }
    if (const json* yaw = find(value, "forwardYaw")) {
        calibration.forwardYawDegrees = finiteNumber(*yaw, "calibration.forwardYaw");
    }
    return calibration;
}

std::string oneOf(const json& value, const std::string& name, const std::set<std::string>& allowed) {
    if (!value.is_string() || allowed.count(value.get<std::string>()) == 0) {
        std::string list;
        for (const auto& choice : allowed) {
            list += (list.empty() ? "\"" : " or \"") + choice + "\"";
        }
        throw BadValue{"\"" + name + "\" must be " + list};
    }
    return value.get<std::string>();
}

Config readConfig(const json& document) {
    if (!document.is_object()) {
        throw BadValue{"the file must hold one JSON object"};
    }
    static const std::set<std::string> keys{"enable", "hand", "fullDeflectionSpeed", "mode", "calibration"};
    Config config;
    for (const auto& item : document.items()) {
        const std::string& key = item.key();
        const json& value = item.value();
        if (keys.count(key) == 0) {
            throw BadValue{"unknown key \"" + key + "\""};
        }
        if (key == "enable") {
            if (!value.is_boolean()) throw BadValue{"\"enable\" must be true or false"};
            config.enable = value.get<bool>();
        } else if (key == "hand") {
            config.hand = oneOf(value, key, {"left", "right"});
        } else if (key == "fullDeflectionSpeed") {
            config.fullDeflectionSpeed = finiteNumber(value, key);
            if (config.fullDeflectionSpeed <= 0.0) throw BadValue{"\"fullDeflectionSpeed\" must be above 0 (m/s)"};
        } else if (key == "mode") {
            config.mode = oneOf(value, key, {"head", "controller"}) == "head" ? StickFrame::head : StickFrame::controller;
        } else {
            config.calibration = readCalibration(value);
        }
    }
    return config;
}

// Written for people to read: a tenth of a millimetre and a hundredth of a
// degree are finer than any headset tracks.
double rounded(double value, double step) { return std::round(value / step) * step; }

json calibrationJson(const Calibration& calibration) {
    return {{"centre", {rounded(calibration.centreX, 1e-4), rounded(calibration.centreZ, 1e-4)}},
            {"forwardYaw", rounded(calibration.forwardYawDegrees, 1e-2)}};
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

}  // namespace

ConfigResult parseConfig(const std::string& text) {
    json document = json::parse(text, nullptr, false);
    if (document.is_discarded()) {
        return {std::nullopt, "not valid JSON"};
    }
    try {
        return {readConfig(document), ""};
    } catch (const BadValue& bad) {
        return {std::nullopt, bad.message};
    }
}

std::string withCalibration(const std::string& text, const Calibration& calibration) {
    json document = json::parse(text, nullptr, false);
    if (document.is_discarded() || !document.is_object()) {
        document = json::object();
    }
    document["calibration"] = calibrationJson(calibration);
    return document.dump(2) + "\n";
}

std::string configPath() {
    std::string explicitPath = environment("QUORVELLAN_XR_CONFIG");
    if (!explicitPath.empty()) {
        return explicitPath;
    }
#if defined(_WIN32)
    std::string appData = environment("APPDATA");
    return appData.empty() ? "" : appData + "\\Quorvellan\\openxr.json";
#else
    std::string configHome = environment("XDG_CONFIG_HOME");
    if (configHome.empty()) {
        std::string home = environment("HOME");
        if (home.empty()) {
            return "";
        }
        configHome = home + "/.config";
    }
    return configHome + "/quorvellan/openxr.json";
#endif
}

std::string calibrationTriggerPath(const std::string& configPath) { return configPath + ".calibrate"; }

}  // namespace quorvellan::openxr

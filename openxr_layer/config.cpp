#include "config.hpp"

#include <cmath>
#include <set>

#include <nlohmann/json.hpp>

#include "user_files.hpp"

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

// One of the keys a game's section may override, or false for another key;
// `prefix` names the section in messages.
bool readGameKey(Config& config, const std::string& key, const json& value, const std::string& prefix = "") {
    const std::string name = prefix + key;
    if (key == "enable") {
        if (!value.is_boolean()) throw BadValue{"\"" + name + "\" must be true or false"};
        config.enable = value.get<bool>();
    } else if (key == "hand") {
        config.hand = oneOf(value, name, {"left", "right"});
    } else if (key == "fullDeflectionSpeed") {
        config.fullDeflectionSpeed = finiteNumber(value, name);
        if (config.fullDeflectionSpeed <= 0.0) throw BadValue{"\"" + name + "\" must be above 0 (m/s)"};
    } else if (key == "mode") {
        config.mode = oneOf(value, name, {"head", "controller"}) == "head" ? StickFrame::head : StickFrame::controller;
    } else {
        return false;
    }
    return true;
}

// Every section is checked, the application's or not: a typo in another
// game's section is as much an error as one in the file's own keys.
void readGames(const json& games, const std::string& application, Config& config) {
    if (!games.is_object()) throw BadValue{"\"games\" must be an object of application names"};
    for (const auto& game : games.items()) {
        if (!game.value().is_object()) throw BadValue{"\"games." + game.key() + "\" must be an object"};
        Config section = config;
        const std::string prefix = "games." + game.key() + ".";
        for (const auto& item : game.value().items()) {
            if (!readGameKey(section, item.key(), item.value(), prefix)) {
                throw BadValue{"unknown key \"" + prefix + item.key() + "\""};
            }
        }
        if (game.key() == application) config = section;
    }
}

Config readConfig(const json& document, const std::string& application) {
    if (!document.is_object()) {
        throw BadValue{"the file must hold one JSON object"};
    }
    Config config;
    for (const auto& item : document.items()) {
        if (item.key() == "calibration") {
            config.calibration = readCalibration(item.value());
        } else if (item.key() != "games" && !readGameKey(config, item.key(), item.value())) {
            throw BadValue{"unknown key \"" + item.key() + "\""};
        }
    }
    // After the file's own keys, whatever order the file has them in.
    if (const json* games = find(document, "games")) readGames(*games, application, config);
    return config;
}

// Written for people to read: a tenth of a millimetre and a hundredth of a
// degree are finer than any headset tracks.
double rounded(double value, double step) { return std::round(value / step) * step; }

json calibrationJson(const Calibration& calibration) {
    return {{"centre", {rounded(calibration.centreX, 1e-4), rounded(calibration.centreZ, 1e-4)}},
            {"forwardYaw", rounded(calibration.forwardYawDegrees, 1e-2)}};
}

}  // namespace

ConfigResult parseConfig(const std::string& text, const std::string& application) {
    json document = json::parse(text, nullptr, false);
    if (document.is_discarded()) {
        return {std::nullopt, "not valid JSON"};
    }
    try {
        return {readConfig(document, application), ""};
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
    return userFilePath({"QUORVELLAN_XR_CONFIG", "APPDATA", "XDG_CONFIG_HOME", ".config", "openxr.json"});
}

std::string calibrationTriggerPath(const std::string& configPath) { return configPath + ".calibrate"; }

}  // namespace quorvellan::openxr

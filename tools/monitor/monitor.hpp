// The live monitor's parts: options, the words for InitInternal's status
// codes, one sample of the treadmill's state and the scripted walk. It samples
// through the stream library, so it shows what applications get.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "api/QuorvellanAPI.h"
#include "stream/QuorvellanStream.h"

namespace quorvellan::monitor {

struct MonitorOptions {
    bool remote = false;
    std::optional<std::string> controller;  // --controller, as host:port
    double rate = 10.0;                // samples per second
    std::optional<double> seconds;     // run until Ctrl-C when absent
    bool walk = false;
    bool enable = false;
    bool brake = false;
    std::optional<FloorSpeeds> manual;
    bool json = false;
    std::string record;                // a file to record to (empty: none)
    std::optional<std::string> web;    // [ADDRESS:]PORT of the web view
};

// Parses the command line (without the program name). Raises
// std::invalid_argument with a message for the user on a bad option.
MonitorOptions ParseOptions(const std::vector<std::string>& arguments);
extern const char* const kUsage;

// What an InitInternal status code means, in words.
std::string StatusWords(int status);

struct Point {
    double x = 0.0;
    double y = 0.0;
};

// A rotation about the vertical (z) axis, as the quaternion the library sends.
struct Rotation {
    double w = 1.0;
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
};

// One look at the treadmill: the stream's newest sample.
struct Sample {
    double time = 0.0;  // seconds since the monitor started
    FloorSpeeds floor{};
    FloorSpeeds normalized{};
    double magnitude = 0.0;
    Ring ring{};
    bool running = false;          // GetTreadmillRunState(false)
    bool runningUnlocked = false;  // GetTreadmillRunState(true)
    std::string serial;
    bool connected = false;
    std::optional<Point> user;     // where the scripted walker stands
};

// The stream's sample as the monitor shows it; `time` is the monitor's own.
Sample FromStream(const QuorvellanStreamSample& streamed, double time);

nlohmann::json SampleJson(const Sample& sample);
// What the web view's page receives: the sample with the stream's state in
// words, the sample rate and the reconnects.
nlohmann::json WebSampleJson(const Sample& sample, const QuorvellanStreamSample& streamed, double rate);
// One line per sample, for logs and pipes.
std::string SampleLine(const Sample& sample);
// A few lines redrawn in place on a terminal.
std::string StatusView(const Sample& sample);

// A user walking a fixed route on the treadmill. The walker moves at the
// route's speed plus the belt's, so the belts must carry them back; the ring
// stops them at its radius.
class ScriptedWalk {
public:
    static constexpr double kRingRadius = 0.5;
    static constexpr double kRouteSeconds = 10.0;

    // Walking velocity over the floor at `time` (the route repeats).
    static Point WalkingVelocity(double time);

    // Advances the walker by `seconds` on a floor moving at `floor`.
    void Step(double time, double seconds, FloorSpeeds floor);
    Point Position() const { return position; }
    // Facing the walking direction, as a rotation about the vertical axis.
    Rotation Facing() const;

private:
    Point position;
    double heading = 0.0;  // radians, 0 = +y, positive towards +x
};

}  // namespace quorvellan::monitor

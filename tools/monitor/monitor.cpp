#include "tools/monitor/monitor.hpp"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <stdexcept>

#include "messages/protocol.hpp"
#include "session/controller_address.hpp"
#include "stream/state_names.hpp"

namespace quorvellan::monitor {

using nlohmann::json;

const char* const kUsage = R"(usage: quorvellan-monitor [options]

Connects to the treadmill's controller and shows its state live.
  --remote        the controller on the local network (default: this machine)
  --controller HOST[:PORT]
                  connect there (port 6158 unless given; sets the library's
                  QUORVELLAN_CONTROLLER); --remote still picks the handshake
  --rate HZ       samples per second (default 10)
  --seconds N     stop after N seconds (default: run until Ctrl-C)
  --enable        start the treadmill
  --brake         apply the brake
  --manual X,Y    drive the belts at these speeds
  --walk          a scripted user walks a route; the belts carry them back
  --json          one JSON line per sample instead of the status view
  --record FILE   append every sample, command and connection change to FILE
                  (JSON Lines, docs/recording-format.md); replay it with
                  quorvellan-controller-sim --replay FILE
  --web [ADDRESS:]PORT
                  serve a live view at http://ADDRESS:PORT/ (default address
                  127.0.0.1; port 0 picks a free one): a top-down view, plots
                  of the last 30 s, and recordings played back. Read-only.
                  Served at once: with no controller yet the monitor waits
                  for one (the page reads "connecting") instead of exiting.
)";

namespace {

double ToNumber(const std::string& option, const std::string& text) {
    std::size_t used = 0;
    double value = 0.0;
    try {
        value = std::stod(text, &used);
    } catch (const std::exception&) {
    }
    if (used == 0 || used != text.size() || !std::isfinite(value))
        throw std::invalid_argument(option + " expects a number, not '" + text + "'");
    return value;
}

FloorSpeeds ToSpeeds(const std::string& text) {
    const std::size_t comma = text.find(',');
    if (comma == std::string::npos) throw std::invalid_argument("--manual expects X,Y, not '" + text + "'");
    return {ToNumber("--manual", text.substr(0, comma)), ToNumber("--manual", text.substr(comma + 1))};
}

const char* YesNo(bool value) { return value ? "yes" : "no"; }

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    return text;
}

}  // namespace

MonitorOptions ParseOptions(const std::vector<std::string>& arguments) {
    MonitorOptions options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= arguments.size()) throw std::invalid_argument(option + " expects a value");
            return arguments[++i];
        };
        if (option == "--remote") options.remote = true;
        else if (option == "--controller") {
            const ParsedAddress parsed = ParseControllerAddress(value(), protocol::kPort);
            if (!parsed.address) throw std::invalid_argument("--controller expects HOST[:PORT]: " + parsed.error);
            options.controller = parsed.address->Text();
        }
        else if (option == "--rate") {
            options.rate = ToNumber(option, value());
            if (options.rate <= 0.0 || options.rate > 1000.0) throw std::invalid_argument("--rate expects samples per second above 0 and up to 1000, not '" + arguments[i] + "'");
        } else if (option == "--seconds") {
            options.seconds = ToNumber(option, value());
            if (*options.seconds < 0.0) throw std::invalid_argument("--seconds cannot be negative");
        } else if (option == "--enable") options.enable = true;
        else if (option == "--brake") options.brake = true;
        else if (option == "--manual") options.manual = ToSpeeds(value());
        else if (option == "--walk") options.walk = true;
        else if (option == "--json") options.json = true;
        else if (option == "--record") {
            options.record = value();
            if (options.record.empty()) throw std::invalid_argument("--record expects a file name");
        } else if (option == "--web") options.web = value();
        else throw std::invalid_argument("unknown option " + option);
    }
    return options;
}

std::string StatusWords(int status) {
    switch (status) {
        case QUORVELLAN_STATUS_CONNECTED:
            return "connected: the controller answered and is recent enough";
        case QUORVELLAN_STATUS_VERSION_TOO_OLD:
            return "the controller is too old for this library; update the controller";
        case QUORVELLAN_STATUS_NOT_LOCAL_CONTROLLER:
            return "no treadmill controller answered on this machine "
                   "(no reply in time, a reply that is not JSON, or another program on port 6158)";
        case QUORVELLAN_STATUS_NOT_REMOTE_CONTROLLER:
            return "no treadmill controller answered on the network "
                   "(no reply in time, a reply that is not JSON, or another program on port 6158)";
        case QUORVELLAN_STATUS_FAILURE:
            return "could not connect to the controller (is it running?), or its reply was malformed";
        default:
            return "unknown status code " + std::to_string(status);
    }
}

Sample FromStream(const QuorvellanStreamSample& streamed, double time) {
    Sample sample;
    sample.time = time;
    sample.floor = streamed.floorSpeeds;
    sample.normalized = streamed.floorSpeedsNormalized;
    sample.magnitude = streamed.floorSpeedMagnitude;
    sample.ring = streamed.ring;
    sample.running = streamed.running != 0;
    sample.runningUnlocked = streamed.runningUnlocked != 0;
    sample.serial = streamed.serialNumber;
    sample.connected = streamed.state == QUORVELLAN_STREAM_CONNECTED;
    return sample;
}

json SampleJson(const Sample& sample) {
    json line = {
        {"event", "sample"},
        {"time", sample.time},
        {"floorSpeed", {{"x", sample.floor.x}, {"y", sample.floor.y}}},
        {"normalized", {{"x", sample.normalized.x}, {"y", sample.normalized.y}}},
        {"magnitude", sample.magnitude},
        {"ring", {{"x", sample.ring.x}, {"y", sample.ring.y}, {"z", sample.ring.z}, {"w", sample.ring.w}}},
        {"running", sample.running},
        {"runningUnlocked", sample.runningUnlocked},
        {"serial", sample.serial},
        {"connected", sample.connected},
    };
    if (sample.user) line["user"] = {{"x", sample.user->x}, {"y", sample.user->y}};
    return line;
}

json WebSampleJson(const Sample& sample, const QuorvellanStreamSample& streamed, double rate) {
    json line = SampleJson(sample);
    line["state"] = stream::StateName(streamed.state);
    line["sampleRate"] = rate;
    line["reconnects"] = streamed.reconnects;
    line["failedReads"] = streamed.failedReads;
    return line;
}

std::string SampleLine(const Sample& sample) {
    std::string line = Format("%5.1fs  floor %+.2f %+.2f m/s  norm %+.2f %+.2f  |v| %.2f  ring %+.2f %+.2f",
                              sample.time, sample.floor.x, sample.floor.y, sample.normalized.x,
                              sample.normalized.y, sample.magnitude, sample.ring.x, sample.ring.y);
    if (sample.user) line += Format("  user %+.2f %+.2f", sample.user->x, sample.user->y);
    line += Format("  running %s/%s  serial %s  %s", YesNo(sample.running), YesNo(sample.runningUnlocked),
                   sample.serial.empty() ? "-" : sample.serial.c_str(), sample.connected ? "connected" : "DISCONNECTED");
    return line;
}

std::string StatusView(const Sample& sample) {
    std::string view;
    view += Format("time         %.1f s\n", sample.time);
    view += Format("floor speed  x %+.3f  y %+.3f m/s   |v| %.3f m/s\n", sample.floor.x, sample.floor.y,
                   sample.magnitude);
    view += Format("normalised   x %+.3f  y %+.3f\n", sample.normalized.x, sample.normalized.y);
    view += Format("ring         x %+.3f  y %+.3f  z %+.3f  w %.2f\n", sample.ring.x, sample.ring.y,
                   sample.ring.z, sample.ring.w);
    view += sample.user ? Format("user         x %+.3f  y %+.3f\n", sample.user->x, sample.user->y)
                        : std::string("user         (not reported)\n");
    view += Format("running      %s   (and not locked: %s)\n", YesNo(sample.running), YesNo(sample.runningUnlocked));
    view += Format("serial       %s\n", sample.serial.empty() ? "(none)" : sample.serial.c_str());
    view += Format("connection   %s\n", sample.connected ? "connected" : "DISCONNECTED");
    return view;
}

// Stand, walk ahead, step right, go back diagonally, stand.
Point ScriptedWalk::WalkingVelocity(double time) {
    const double t = std::fmod(time, kRouteSeconds);
    if (t < 1.0) return {0.0, 0.0};
    if (t < 4.0) return {0.0, 1.0};
    if (t < 6.0) return {0.8, 0.0};
    if (t < 8.0) return {-0.6, -0.6};
    return {0.0, 0.0};
}

void ScriptedWalk::Step(double time, double seconds, FloorSpeeds floor) {
    const Point walking = WalkingVelocity(time);
    if (walking.x != 0.0 || walking.y != 0.0) heading = std::atan2(walking.x, walking.y);
    position.x += (walking.x + floor.x) * seconds;
    position.y += (walking.y + floor.y) * seconds;
    const double distance = std::hypot(position.x, position.y);
    if (distance > kRingRadius) {
        position.x *= kRingRadius / distance;
        position.y *= kRingRadius / distance;
    }
}

// A turn by `heading` about the vertical axis; turning towards +x is clockwise
// seen from above, hence the minus sign.
Rotation ScriptedWalk::Facing() const {
    return {std::cos(heading / 2.0), 0.0, 0.0, -std::sin(heading / 2.0)};
}

}  // namespace quorvellan::monitor

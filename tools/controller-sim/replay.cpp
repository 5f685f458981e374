#include "tools/controller-sim/replay.hpp"

#include <algorithm>
#include <cmath>

#include <nlohmann/json.hpp>

namespace quorvellan::sim {

using nlohmann::json;

namespace {

// Reads one field of a line, with the line's number in any complaint.
class LineReader {
public:
    LineReader(const json& object, int line) : object(object), line(line) {}

    const json& Field(const char* key) const {
        auto found = object.find(key);
        if (found == object.end()) throw RecordingError(line, std::string("no \"") + key + "\"");
        return *found;
    }
    double Number(const json& value, const std::string& what) const {
        if (!value.is_number() || !std::isfinite(value.get<double>()))
            throw RecordingError(line, what + " is not a finite number");
        return value.get<double>();
    }
    double Number(const char* key) const { return Number(Field(key), std::string("\"") + key + "\""); }
    bool Bool(const char* key) const {
        const json& value = Field(key);
        if (!value.is_boolean()) throw RecordingError(line, std::string("\"") + key + "\" is not true or false");
        return value.get<bool>();
    }
    std::string Text(const char* key) const {
        const json& value = Field(key);
        if (!value.is_string()) throw RecordingError(line, std::string("\"") + key + "\" is not text");
        return value.get<std::string>();
    }
    std::vector<double> Numbers(const char* key, std::size_t count) const {
        const json& value = Field(key);
        if (!value.is_array() || value.size() != count)
            throw RecordingError(line, std::string("\"") + key + "\" is not a list of " + std::to_string(count) +
                                           " numbers");
        std::vector<double> numbers;
        for (const json& item : value) numbers.push_back(Number(item, std::string("an item of \"") + key + "\""));
        return numbers;
    }

private:
    const json& object;
    const int line;
};

json ParseLine(const std::string& text, int line) {
    if (text.size() > Recording::kLongestLine)
        throw RecordingError(line, "longer than " + std::to_string(Recording::kLongestLine) + " bytes");
    json object = json::parse(text, nullptr, false);
    if (object.is_discarded()) throw RecordingError(line, "not JSON");
    if (!object.is_object()) throw RecordingError(line, "not a JSON object");
    return object;
}

void CheckHeader(const json& header) {
    LineReader reader(header, 1);
    if (header.value("format", "") != "quorvellan-recording")
        throw RecordingError(1, "not a recording (the first line has no \"format\": \"quorvellan-recording\")");
    const json& version = reader.Field("version");
    if (!version.is_number_integer()) throw RecordingError(1, "\"version\" is not a whole number");
    if (version.get<std::int64_t>() != Recording::kFormatVersion)
        throw RecordingError(1, "format version " + version.dump() + "; this simulator reads version " +
                                    std::to_string(Recording::kFormatVersion));
    reader.Text("startTime");
}

// The state the recorder saw between samples: serial and brake.
struct Context {
    std::string serial;
    bool brake = false;
    std::optional<double> firstSample;
    double lastTime = -INFINITY;
};

std::optional<ReplayFrame> ReadEvent(const json& object, int line, Context& context) {
    LineReader reader(object, line);
    const double time = reader.Number("t");
    if (time < context.lastTime) throw RecordingError(line, "time goes back (\"t\" is less than on the line before)");
    context.lastTime = time;
    const std::string event = reader.Text("event");
    if (event == "connection") {
        reader.Text("state");
        context.serial = reader.Text("serial");
    } else if (event == "command") {
        if (reader.Text("command") == "brake") context.brake = reader.Bool("value");
    } else if (event == "sample") {
        if (!context.firstSample) context.firstSample = time;
        ReplayFrame frame;
        frame.time = time - *context.firstSample;
        const std::vector<double> floor = reader.Numbers("floorSpeed", 2);
        frame.floorSpeed = {floor[0], floor[1]};
        const std::vector<double> ring = reader.Numbers("ring", 3);
        std::copy(ring.begin(), ring.end(), frame.ring);
        frame.enabled = reader.Bool("running");
        frame.locked = frame.enabled && !reader.Bool("runningUnlocked");
        frame.brake = context.brake;
        frame.serial = context.serial;
        return frame;
    }
    // Other events (failed reads, events of later writers) do not change the state.
    return std::nullopt;
}

}  // namespace

Recording Recording::Read(std::istream& input) {
    Recording recording;
    Context context;
    std::string text;
    int line = 0;
    while (std::getline(input, text)) {
        ++line;
        if (input.eof()) throw RecordingError(line, "cut short (the file ends inside this line)");
        const json object = ParseLine(text, line);
        if (line == 1) {
            CheckHeader(object);
            continue;
        }
        if (auto frame = ReadEvent(object, line, context)) recording.frames.push_back(std::move(*frame));
    }
    if (line == 0) throw RecordingError(1, "the file is empty; a recording starts with its header line");
    if (recording.frames.empty()) throw RecordingError(line, "the recording ends without a single sample");
    return recording;
}

const ReplayFrame& Recording::At(double seconds, bool loop) const {
    if (loop && Duration() > 0.0) seconds = std::fmod(seconds, Duration());
    auto after = std::upper_bound(frames.begin(), frames.end(), seconds,
                                  [](double time, const ReplayFrame& frame) { return time < frame.time; });
    return after == frames.begin() ? frames.front() : *std::prev(after);
}

}  // namespace quorvellan::sim

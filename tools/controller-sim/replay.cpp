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

// One line as read: its number, its value (discarded when it is not JSON) and
// whether its '\n' came (a file that ends inside a line lacks it).
struct RawLine {
    int number = 0;
    json value;
    bool ended = false;
};

// Reads the next line, at most Recording::kLongestLine bytes: a longer one is
// refused before the rest of it is read (the file may be endless).
std::optional<RawLine> ReadLine(std::streambuf& input, int number) {
    std::string text;
    using Traits = std::streambuf::traits_type;
    for (Traits::int_type c = input.sbumpc(); !Traits::eq_int_type(c, Traits::eof()); c = input.sbumpc()) {
        if (Traits::to_char_type(c) == '\n') return RawLine{number, json::parse(text, nullptr, false), true};
        if (text.size() == Recording::kLongestLine)
            throw RecordingError(number, "longer than " + std::to_string(Recording::kLongestLine) + " bytes");
        text.push_back(Traits::to_char_type(c));
    }
    if (text.empty()) return std::nullopt;
    return RawLine{number, json(), false};
}

// A segment starts with a header line: the only lines with a "format".
bool IsHeader(const json& value) { return value.is_object() && value.contains("format"); }

void CheckHeader(const json& header, int line) {
    LineReader reader(header, line);
    const auto format = header.find("format");
    if (format == header.end() || !format->is_string() || *format != "quorvellan-recording")
        throw RecordingError(line, "not a recording (no \"format\": \"quorvellan-recording\")");
    const json& version = reader.Field("version");
    if (!version.is_number_integer()) throw RecordingError(line, "\"version\" is not a whole number");
    if (version != Recording::kFormatVersion)
        throw RecordingError(line, "format version " + version.dump() + "; this simulator reads version " +
                                       std::to_string(Recording::kFormatVersion));
    reader.Text("startTime");
}

// The state the recorder saw between samples (serial and brake), and where
// the current segment sits on the recording's time line.
struct Context {
    std::string serial;
    bool brake = false;
    int segments = 0;
    double segmentStart = 0.0;       // when the segment's "t" is 0, on the recording's time line
    double lastTime = -INFINITY;     // the segment's last "t"
    std::optional<double> firstSample;  // on the recording's time line

    // A segment's times follow the previous segment's last time.
    void StartSegment() {
        if (segments++ > 0 && std::isfinite(lastTime)) segmentStart += std::max(lastTime, 0.0);
        lastTime = -INFINITY;
    }
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
        const double onTimeLine = context.segmentStart + time;
        if (!context.firstSample) context.firstSample = onTimeLine;
        ReplayFrame frame;
        frame.time = onTimeLine - *context.firstSample;
        const std::vector<double> floor = reader.Numbers("floorSpeed", 2);
        frame.floorSpeed = {floor[0], floor[1]};
        const std::vector<double> ring = reader.Numbers("ring", 3);
        std::copy(ring.begin(), ring.end(), frame.ring);
        frame.enabled = reader.Bool("running");
        frame.locked = frame.enabled && !reader.Bool("runningUnlocked");
        frame.brake = context.brake;
        frame.serial = context.serial;
        frame.line = line;
        return frame;
    }
    // Other events (failed reads, events of later writers) do not change the state.
    return std::nullopt;
}

}  // namespace

// Reads one line ahead: a line that is not JSON right before a header is the
// cut last line of a program that crashed, as is a last line without '\n'.
Recording Recording::Read(std::istream& input) {
    Recording recording;
    Context context;
    auto take = [&](const RawLine& line, bool headerFollows) {
        if (!line.ended) return recording.Skip(line.number, "the file ends inside this line");
        if (line.value.is_discarded()) {
            if (headerFollows && line.number > 1) return recording.Skip(line.number, "a new segment starts after it");
            throw RecordingError(line.number, "not JSON");
        }
        if (!line.value.is_object()) throw RecordingError(line.number, "not a JSON object");
        if (line.number == 1 || IsHeader(line.value)) {
            CheckHeader(line.value, line.number);
            return context.StartSegment();
        }
        if (auto frame = ReadEvent(line.value, line.number, context)) recording.frames.push_back(std::move(*frame));
    };
    std::optional<RawLine> held = ReadLine(*input.rdbuf(), 1);
    if (!held) throw RecordingError(1, "the file is empty; a recording starts with its header line");
    int lines = 1;
    while (std::optional<RawLine> next = ReadLine(*input.rdbuf(), lines + 1)) {
        ++lines;
        take(*held, IsHeader(next->value));
        held = std::move(next);
    }
    take(*held, false);
    if (recording.frames.empty()) throw RecordingError(lines, "the recording ends without a single sample");
    return recording;
}

void Recording::Skip(int line, const std::string& why) {
    skipped.push_back("line " + std::to_string(line) + ": cut short (" + why + "); skipped");
}

const ReplayFrame& Recording::At(double seconds, bool loop) const {
    if (loop && Duration() > 0.0) seconds = std::fmod(seconds, Duration());
    auto after = std::upper_bound(frames.begin(), frames.end(), seconds,
                                  [](double time, const ReplayFrame& frame) { return time < frame.time; });
    return after == frames.begin() ? frames.front() : *std::prev(after);
}

}  // namespace quorvellan::sim

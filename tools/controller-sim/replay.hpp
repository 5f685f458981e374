// A recording played back as the controller's state: the simulator answers
// with the treadmill state recorded at the replay's current time instead of
// its own model. The recording is checked in full when it is loaded. A file
// may hold several segments (a program that started its stream again), each
// starting with a header line; they play one after another.
#pragma once

#include <chrono>
#include <istream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/controller-sim/treadmill_model.hpp"

namespace quorvellan::sim {

// What the controller reports at one moment of a recording.
struct ReplayFrame {
    double time = 0.0;  // seconds since the recording's first sample
    Vector2 floorSpeed;
    double ring[3] = {0.0, 0.0, 0.0};
    bool enabled = false;
    bool locked = false;  // known only while enabled: enabled and not "runningUnlocked"
    bool brake = false;   // the last brake command recorded before the frame
    std::string serial;   // of the connection the frame was read on
    int line = 0;         // of the recording, from 1
};

// A bad recording: `line` (from 1) is where the problem is.
class RecordingError : public std::runtime_error {
public:
    RecordingError(int line, const std::string& reason)
        : std::runtime_error("line " + std::to_string(line) + ": " + reason), line(line) {}
    const int line;
};

class Recording {
public:
    static constexpr int kFormatVersion = 1;
    static constexpr std::size_t kLongestLine = 4096;

    // Reads and checks a whole recording; raises RecordingError. A line cut
    // short (the last one of the file or of a segment: a program that
    // crashed) is skipped and listed in Skipped().
    static Recording Read(std::istream& input);

    const std::vector<ReplayFrame>& Frames() const { return frames; }
    // "line N: cut short (...); skipped", one per line skipped.
    const std::vector<std::string>& Skipped() const { return skipped; }
    double Duration() const { return frames.back().time; }
    // The frame shown `seconds` after the start of the recording (the last
    // one at or before it); past the end, the last frame or, looping, the
    // recording again from its start.
    const ReplayFrame& At(double seconds, bool loop) const;

private:
    void Skip(int line, const std::string& why);

    std::vector<ReplayFrame> frames;
    std::vector<std::string> skipped;
};

struct ReplayOptions {
    std::string path;
    bool loop = false;
    double speed = 1.0;
};

}  // namespace quorvellan::sim

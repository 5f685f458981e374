// Which of the application's actions are its locomotion stick, and what the
// layer answers when the game reads one.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <openxr/openxr.h>

#include "locomotion.hpp"

namespace quorvellan::openxr {

struct SuggestedBinding {
    uint64_t action;  // the XrAction handle as a number
    std::string path; // e.g. "/user/hand/left/input/thumbstick"
};

// The bindings of one profile's suggestion that make an action the hand's
// stick: bound to /user/hand/<hand>/input/thumbstick, or to .../trackpad when
// the suggestion binds nothing to that hand's thumbstick (profiles without
// one). The caller passes only the vector2f actions' bindings.
std::vector<SuggestedBinding> stickBindings(const std::vector<SuggestedBinding>& suggested, const std::string& hand);

// The bindings of a suggestion that give the hand's aim pose
// (/user/hand/<hand>/input/aim/pose, or .../input/aim): what "controller"
// mode steers by. The caller passes only the pose actions' bindings.
std::vector<SuggestedBinding> aimBindings(const std::vector<SuggestedBinding>& suggested, const std::string& hand);

// The fields of XrActionStateVector2f the runtime writes: all the layer may
// change in the game's structure. Its type and next are the game's own, and
// a kept copy of them would point into a read the game has left.
struct StickState {
    XrVector2f currentState{0.0f, 0.0f};
    XrBool32 changedSinceLastSync = XR_FALSE;
    XrTime lastChangeTime = 0;
    XrBool32 isActive = XR_FALSE;
};

StickState outputOf(const XrActionStateVector2f& state);
void writeOutput(const StickState& output, XrActionStateVector2f& state);

// One stick action's reads, sync after sync: keeps changedSinceLastSync and
// lastChangeTime true to the values the game was given, whichever source
// (the real stick or the walking) they came from.
class StickReads {
public:
    // The state for the read at sync `sync` (counted by the caller), given
    // the runtime's own state, the walking deflection (when `walking` is
    // set) and the frame time to stamp a change the layer made.
    StickState read(uint64_t sync, const XrActionStateVector2f& real, const Vec2* walking, XrTime frameTime);

    // The runtime's state went to the game untouched (the layer may not
    // drive the action now): the next read's change flags compare with it.
    void passed(uint64_t sync, const XrActionStateVector2f& real);

private:
    struct Entry {
        uint64_t sync = 0;
        StickState given;                // what the game was told at `sync`
        bool layerMade = false;          // `given` differs from the runtime's
    };
    Entry entry_;
    bool seen_ = false;
};

}  // namespace quorvellan::openxr

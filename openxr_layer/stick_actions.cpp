#include "stick_actions.hpp"

namespace quorvellan::openxr {
namespace {

bool same(XrVector2f a, XrVector2f b) { return a.x == b.x && a.y == b.y; }

}  // namespace

std::vector<SuggestedBinding> stickBindings(const std::vector<SuggestedBinding>& suggested, const std::string& hand) {
    const std::string thumbstick = "/user/hand/" + hand + "/input/thumbstick";
    const std::string trackpad = "/user/hand/" + hand + "/input/trackpad";
    bool hasThumbstick = false;
    for (const auto& binding : suggested) {
        hasThumbstick = hasThumbstick || binding.path == thumbstick;
    }
    const std::string& wanted = hasThumbstick ? thumbstick : trackpad;
    std::vector<SuggestedBinding> chosen;
    for (const auto& binding : suggested) {
        if (binding.path == wanted) {
            chosen.push_back(binding);
        }
    }
    return chosen;
}

std::vector<SuggestedBinding> aimBindings(const std::vector<SuggestedBinding>& suggested, const std::string& hand) {
    const std::string aim = "/user/hand/" + hand + "/input/aim";
    std::vector<SuggestedBinding> chosen;
    for (const auto& binding : suggested) {
        if (binding.path == aim || binding.path == aim + "/pose") {
            chosen.push_back(binding);
        }
    }
    return chosen;
}

StickState outputOf(const XrActionStateVector2f& state) {
    return {state.currentState, state.changedSinceLastSync, state.lastChangeTime, state.isActive};
}

void writeOutput(const StickState& output, XrActionStateVector2f& state) {
    state.currentState = output.currentState;
    state.changedSinceLastSync = output.changedSinceLastSync;
    state.lastChangeTime = output.lastChangeTime;
    state.isActive = output.isActive;
}

StickState StickReads::read(uint64_t sync, const XrActionStateVector2f& real, const Vec2* walking, XrTime frameTime) {
    if (seen_ && entry_.sync == sync) {
        return entry_.given;  // every read between two syncs answers the same
    }
    XrVector2f previous = seen_ ? entry_.given.currentState : XrVector2f{0.0f, 0.0f};
    StickState state = outputOf(real);
    bool layerMade = false;
    if (walking) {
        Vec2 combined = combineDeflections({real.currentState.x, real.currentState.y}, *walking);
        state.currentState = {static_cast<float>(combined.x), static_cast<float>(combined.y)};
        state.isActive = (real.isActive || walking->x != 0.0 || walking->y != 0.0) ? XR_TRUE : XR_FALSE;
        layerMade = !same(state.currentState, real.currentState);
    }
    // The runtime's change flag compares its own values; when either this
    // read or the one before came from the walking, compare what was given.
    if (layerMade || (seen_ && entry_.layerMade)) {
        bool changed = !same(state.currentState, previous);
        state.changedSinceLastSync = changed ? XR_TRUE : XR_FALSE;
        if (changed) {
            state.lastChangeTime = (!layerMade && real.changedSinceLastSync) ? real.lastChangeTime : frameTime;
        } else if (seen_) {
            state.lastChangeTime = entry_.given.lastChangeTime;
        }
    }
    entry_ = {sync, state, layerMade};
    seen_ = true;
    return state;
}

void StickReads::passed(uint64_t sync, const XrActionStateVector2f& real) {
    entry_ = {sync, outputOf(real), false};
    seen_ = true;
}

}  // namespace quorvellan::openxr

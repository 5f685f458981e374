// Which actions count as the locomotion stick, and the action state the game
// reads sync after sync: values, isActive, and change flags that stay true to
// what the game was given.
#include <gtest/gtest.h>

#include "stick_actions.hpp"

namespace quorvellan::openxr {
namespace {

TEST(StickActions, TheHandsThumbstickElseItsTrackpad) {
    const std::string left = "/user/hand/left/input/thumbstick";
    const std::string right = "/user/hand/right/input/thumbstick";
    const std::string leftPad = "/user/hand/left/input/trackpad";
    struct Case {
        const char* name;
        std::vector<SuggestedBinding> suggested;
        std::string hand;
        std::vector<uint64_t> expected;
    } cases[] = {
        {"left stick", {{1, left}, {2, right}}, "left", {1}},
        {"right stick", {{1, left}, {2, right}}, "right", {2}},
        {"two actions on one stick", {{1, left}, {3, left}}, "left", {1, 3}},
        {"trackpad when no stick", {{1, leftPad}, {2, right}}, "left", {1}},
        {"the stick wins over a trackpad", {{1, leftPad}, {2, left}}, "left", {2}},
        {"a stick's component is not the stick", {{1, left + "/x"}, {2, left + "/click"}}, "left", {}},
        {"other hand only", {{2, right}}, "left", {}},
        {"nothing suggested", {}, "left", {}},
    };
    for (const auto& c : cases) {
        std::vector<uint64_t> actions;
        for (const auto& binding : stickBindings(c.suggested, c.hand)) actions.push_back(binding.action);
        EXPECT_EQ(actions, c.expected) << c.name;
    }
}

TEST(StickActions, TheHandsAimPose) {
    struct Case {
        const char* name;
        std::vector<SuggestedBinding> suggested;
        std::vector<uint64_t> expected;
    } cases[] = {
        {"aim pose", {{1, "/user/hand/left/input/aim/pose"}, {2, "/user/hand/right/input/aim/pose"}}, {1}},
        {"aim, its pose implied", {{3, "/user/hand/left/input/aim"}}, {3}},
        {"grip is not aim", {{4, "/user/hand/left/input/grip/pose"}}, {}},
    };
    for (const auto& c : cases) {
        std::vector<uint64_t> actions;
        for (const auto& binding : aimBindings(c.suggested, "left")) actions.push_back(binding.action);
        EXPECT_EQ(actions, c.expected) << c.name;
    }
}

XrActionStateVector2f real(float x, float y, bool changed = false, XrTime changeTime = 0, bool active = true) {
    XrActionStateVector2f state{};
    state.type = XR_TYPE_ACTION_STATE_VECTOR2F;
    state.currentState = {x, y};
    state.isActive = active ? XR_TRUE : XR_FALSE;
    state.changedSinceLastSync = changed ? XR_TRUE : XR_FALSE;
    state.lastChangeTime = changeTime;
    return state;
}

TEST(StickActions, ReadsStayTruthfulAcrossSyncs) {
    const Vec2 standing{0, 0}, walking{0, 0.5}, running{0, 2};
    struct Step {
        const char* name;
        uint64_t sync;
        XrActionStateVector2f real;
        const Vec2* walking;  // null: the treadmill says nothing (pass through)
        XrTime frameTime;
        XrVector2f value;
        bool active, changed;
        XrTime lastChangeTime;
        bool passed = false;  // the layer may not drive the action: the runtime's state goes untouched
    } steps[] = {
        {"standing, stick at rest", 1, real(0, 0, false, 0, false), &standing, 100, {0, 0}, false, false, 0},
        {"walking starts", 2, real(0, 0, false, 0, false), &walking, 200, {0, 0.5f}, true, true, 200},
        {"a second read in the same sync", 2, real(0, 0, false, 0, false), &walking, 250, {0, 0.5f}, true, true, 200},
        {"walking on", 3, real(0, 0), &walking, 300, {0, 0.5f}, true, false, 200},
        {"running: clamped", 4, real(0, 0), &running, 400, {0, 1}, true, true, 400},
        {"a full push sideways beats walking", 5, real(1, 0, true, 450), &walking, 500, {1, 0}, true, true, 450},
        {"stopped: the real stick, unchanged", 6, real(1, 0, false, 450), &standing, 600, {1, 0}, true, false, 450},
        {"walking again, then the link drops", 7, real(0.1f, 0), &walking, 700, {0, 0.5f}, true, true, 700},
        {"not connected: back to the real stick", 8, real(0.1f, 0, false, 450), nullptr, 800, {0.1f, 0}, true, true, 800},
        {"pass-through once settled", 9, real(0.1f, 0, false, 450), nullptr, 900, {0.1f, 0}, true, false, 450},
        {"walking", 10, real(0, 0), &walking, 1000, {0, 0.5f}, true, true, 1000},
        {"unfocused: untouched", 11, real(0, 0, false, 0, false), &walking, 1100, {0, 0}, false, false, 0, true},
        {"focused again: a change", 12, real(0, 0), &walking, 1200, {0, 0.5f}, true, true, 1200},
    };
    StickReads reads;
    for (const auto& s : steps) {
        if (s.passed) reads.passed(s.sync, s.real);
        StickState state = s.passed ? outputOf(s.real) : reads.read(s.sync, s.real, s.walking, s.frameTime);
        EXPECT_FLOAT_EQ(state.currentState.x, s.value.x) << s.name;
        EXPECT_FLOAT_EQ(state.currentState.y, s.value.y) << s.name;
        EXPECT_EQ(state.isActive == XR_TRUE, s.active) << s.name;
        EXPECT_EQ(state.changedSinceLastSync == XR_TRUE, s.changed) << s.name;
        EXPECT_EQ(state.lastChangeTime, s.lastChangeTime) << s.name;
    }
}

}  // namespace
}  // namespace quorvellan::openxr

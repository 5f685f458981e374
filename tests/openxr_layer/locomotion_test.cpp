// The layer's geometry, checked against poses worked out by hand: stage
// space is +y up, -z forward, yaw positive to the left; the treadmill's is
// x right, y forward.
#include <gtest/gtest.h>

#include <cmath>

#include "locomotion.hpp"

namespace quorvellan::openxr {
namespace {

constexpr double pi = 3.14159265358979323846;

Quat yawQuat(double degrees) {
    double half = degrees * pi / 360.0;
    return {std::cos(half), 0.0, std::sin(half), 0.0};
}

struct StickCase {
    const char* name;
    double treadmillYaw;   // calibration forwardYaw, degrees
    double headYaw;        // degrees
    Vec2 floor;            // the belts' velocity, treadmill frame, m/s
    Vec2 stick;            // expected deflection
};

TEST(Locomotion, WalkingReadsAsTheStickInTheHeadsFrame) {
    // Walking ahead of the head at 1.5 m/s, full deflection at 1.5: the user
    // walks where the head points, whatever the treadmill's own yaw.
    auto ahead = [](double headYaw, double treadmillYaw) {
        double relative = (headYaw - treadmillYaw) * pi / 180.0;
        // Head forward in treadmill axes; the floor moves the opposite way.
        return Vec2{1.5 * std::sin(relative), -1.5 * std::cos(relative)};
    };
    const StickCase cases[] = {
        {"head 0, walking ahead", 0, 0, ahead(0, 0), {0, 1}},
        {"head 90, walking ahead", 0, 90, ahead(90, 0), {0, 1}},
        {"head 180, walking ahead", 0, 180, ahead(180, 0), {0, 1}},
        {"head -90, walking ahead", 0, -90, ahead(-90, 0), {0, 1}},
        {"head 0, stepping right", 0, 0, {-0.75, 0}, {0.5, 0}},
        {"head 90, treadmill forward", 0, 90, {0, -1.5}, {1, 0}},  // head turned left: forward is to its right
        {"calibrated 90, head 90, treadmill forward", 90, 90, {0, -1.5}, {0, 1}},
        {"calibrated 30, head 120, walking ahead", 30, 120, ahead(120, 30), {0, 1}},
        {"standing", 45, 10, {0, 0}, {0, 0}},
    };
    for (const auto& c : cases) {
        Calibration calibration{0.4, -0.2, c.treadmillYaw};
        Vec2 stick = walkingToStick(calibration, {-c.floor.x, -c.floor.y}, c.headYaw * pi / 180.0, 1.5);
        EXPECT_NEAR(stick.x, c.stick.x, 1e-9) << c.name;
        EXPECT_NEAR(stick.y, c.stick.y, 1e-9) << c.name;
    }
}

TEST(Locomotion, StagePositionsAndOrientationsInTreadmillTerms) {
    struct Case {
        const char* name;
        Calibration calibration;
        double stageX, stageZ, headYaw;
        Vec2 position;
        double rotationZDegrees;  // the head's turn about the treadmill's up axis
    } cases[] = {
        {"at the centre, facing forward", {}, 0, 0, 0, {0, 0}, 0},
        {"half a metre ahead", {}, 0, -0.5, 0, {0, 0.5}, 0},
        {"right of an offset centre", {1, 2, 0}, 1.25, 2, 0, {0.25, 0}, 0},
        {"treadmill turned left, user ahead of it", {0, 0, 90}, -0.5, 0, 90, {0, 0.5}, 0},
        {"head turned left", {0, 0, 0}, 0, 0, 90, {0, 0}, 90},
        {"treadmill turned 30, head 10", {0, 0, 30}, 0, 0, 10, {0, 0}, -20},
    };
    for (const auto& c : cases) {
        Vec2 position = stageToTreadmill(c.calibration, c.stageX, c.stageZ);
        EXPECT_NEAR(position.x, c.position.x, 1e-9) << c.name;
        EXPECT_NEAR(position.y, c.position.y, 1e-9) << c.name;
        Quat rotation = stageToTreadmillRotation(c.calibration, yawQuat(c.headYaw));
        double half = c.rotationZDegrees * pi / 360.0;
        EXPECT_NEAR(rotation.w, std::cos(half), 1e-9) << c.name;
        EXPECT_NEAR(rotation.x, 0.0, 1e-9) << c.name;
        EXPECT_NEAR(rotation.y, 0.0, 1e-9) << c.name;
        EXPECT_NEAR(rotation.z, std::sin(half), 1e-9) << c.name;
    }
}

TEST(Locomotion, YawIgnoresPitchAndCalibrationTakesTheHeadsPose) {
    for (double yaw : {0.0, 45.0, 90.0, 179.0, -90.0, -135.0}) {
        // Looking 30 degrees down changes nothing about the heading.
        double half = -30.0 * pi / 360.0;
        Quat pitchedDown{std::cos(half), std::sin(half), 0.0, 0.0};
        Quat q = yawQuat(yaw);
        Quat head{q.w * pitchedDown.w, q.w * pitchedDown.x, q.y * pitchedDown.w, -q.y * pitchedDown.x};
        EXPECT_NEAR(yawOf(head) * 180.0 / pi, yaw, 1e-9) << yaw;
        Calibration calibration = calibrationFromHead(0.3, -0.7, head);
        EXPECT_NEAR(calibration.forwardYawDegrees, yaw, 1e-9);
        EXPECT_DOUBLE_EQ(calibration.centreX, 0.3);
        EXPECT_DOUBLE_EQ(calibration.centreZ, -0.7);
    }
}

TEST(Locomotion, TheLongerDeflectionWinsWithinTheUnitDisk) {
    struct Case {
        const char* name;
        Vec2 real, walking, expected;
    } cases[] = {
        {"standing: the real stick", {0.3, -0.2}, {0, 0}, {0.3, -0.2}},
        {"walking beats a small push", {0.2, 0}, {0, 0.5}, {0, 0.5}},
        {"a full push beats slow walking", {-1, 0}, {0, 0.5}, {-1, 0}},
        {"fast walking is clamped", {0, 0}, {0, 2}, {0, 1}},
        {"clamped along its direction", {0, 0}, {3, 4}, {0.6, 0.8}},
        {"equal lengths: the real stick", {0.5, 0}, {0, 0.5}, {0.5, 0}},
    };
    for (const auto& c : cases) {
        Vec2 combined = combineDeflections(c.real, c.walking);
        EXPECT_NEAR(combined.x, c.expected.x, 1e-12) << c.name;
        EXPECT_NEAR(combined.y, c.expected.y, 1e-12) << c.name;
    }
}

}  // namespace
}  // namespace quorvellan::openxr

#include "locomotion.hpp"

#include <cmath>

namespace quorvellan::openxr {
namespace {

constexpr double pi = 3.14159265358979323846;

double radians(double degrees) { return degrees * pi / 180.0; }
double degrees(double radians) { return radians * 180.0 / pi; }

// Unit floor vectors (stage x, stage z) of a frame with yaw `yaw`.
Vec2 forwardOf(double yaw) { return {-std::sin(yaw), -std::cos(yaw)}; }
Vec2 rightOf(double yaw) { return {std::cos(yaw), -std::sin(yaw)}; }

double dot(Vec2 a, Vec2 b) { return a.x * b.x + a.y * b.y; }
double length(Vec2 v) { return std::hypot(v.x, v.y); }

Quat multiply(const Quat& a, const Quat& b) {
    return {a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z,
            a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
            a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x,
            a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w};
}

}  // namespace

double forwardYaw(const Calibration& calibration) { return radians(calibration.forwardYawDegrees); }

double yawOf(const Quat& q) {
    // The orientation's -z axis: the third column of its matrix, negated.
    double forwardX = -2.0 * (q.x * q.z + q.w * q.y);
    double forwardZ = -(1.0 - 2.0 * (q.x * q.x + q.y * q.y));
    return std::atan2(-forwardX, -forwardZ);
}

Vec2 stageToTreadmill(const Calibration& calibration, double stageX, double stageZ) {
    double yaw = radians(calibration.forwardYawDegrees);
    Vec2 offset{stageX - calibration.centreX, stageZ - calibration.centreZ};
    return {dot(offset, rightOf(yaw)), dot(offset, forwardOf(yaw))};
}

Quat stageToTreadmillRotation(const Calibration& calibration, const Quat& orientation) {
    double half = -radians(calibration.forwardYawDegrees) / 2.0;
    Quat relative = multiply({std::cos(half), 0.0, std::sin(half), 0.0}, orientation);
    // Stage axes (x, y, z) are the treadmill's (x, z, -y): a proper rotation,
    // so the quaternion's vector part maps like any vector.
    return {relative.w, relative.x, -relative.z, relative.y};
}

Vec2 walkingToStick(const Calibration& calibration, Vec2 velocity, double stickYaw, double fullDeflectionSpeed) {
    double treadmillYaw = radians(calibration.forwardYawDegrees);
    Vec2 right = rightOf(treadmillYaw);
    Vec2 forward = forwardOf(treadmillYaw);
    Vec2 stage{velocity.x * right.x + velocity.y * forward.x, velocity.x * right.y + velocity.y * forward.y};
    return {dot(stage, rightOf(stickYaw)) / fullDeflectionSpeed,
            dot(stage, forwardOf(stickYaw)) / fullDeflectionSpeed};
}

Vec2 combineDeflections(Vec2 real, Vec2 walking) {
    Vec2 chosen = length(walking) > length(real) ? walking : real;
    double chosenLength = length(chosen);
    if (chosenLength > 1.0) {
        chosen.x /= chosenLength;
        chosen.y /= chosenLength;
    }
    return chosen;
}

Calibration calibrationFromHead(double stageX, double stageZ, const Quat& orientation) {
    return {stageX, stageZ, degrees(yawOf(orientation))};
}

}  // namespace quorvellan::openxr

#include "tools/controller-sim/treadmill_model.hpp"

#include <cmath>

namespace quorvellan::sim {

namespace {

double Length(Vector2 v) { return std::hypot(v.x, v.y); }

// Shortens `v` to at most `limit`, keeping its direction.
Vector2 CapLength(Vector2 v, double limit) {
    const double length = Length(v);
    if (length <= limit || length == 0.0) return v;
    return {v.x * limit / length, v.y * limit / length};
}

// Moves `from` towards `to` by at most `maxChange`.
Vector2 MoveTowards(Vector2 from, Vector2 to, double maxChange) {
    Vector2 change = CapLength({to.x - from.x, to.y - from.y}, maxChange);
    return {from.x + change.x, from.y + change.y};
}

}  // namespace

TreadmillModel::TreadmillModel(TreadmillLimits limits, bool locked) : limits(limits), locked(locked) {}

void TreadmillModel::SetEnabled(bool value) {
    enabled = value;
    // Stopping ends manual driving: the next start centres the user again.
    if (!enabled) manualSpeed.reset();
}

void TreadmillModel::SetBrake(bool value) { brake = value; }

void TreadmillModel::SetManualSpeeds(std::optional<double> x, std::optional<double> y) {
    if (!x && !y) return;
    Vector2 speed = manualSpeed.value_or(Vector2{});
    if (x) speed.x = *x;
    if (y) speed.y = *y;
    manualSpeed = speed;
}

void TreadmillModel::SetUserPosition(std::optional<double> x, std::optional<double> y) {
    if (x) userPosition.x = *x;
    if (y) userPosition.y = *y;
}

// The belt carries the user back: an offset ahead (+y) asks for a belt moving
// backwards (-y), proportionally, up to the speed cap.
Vector2 TreadmillModel::CentringSpeed() const {
    Vector2 speed{-limits.centringGain * userPosition.x, -limits.centringGain * userPosition.y};
    return CapLength(speed, limits.maxSpeed);
}

Vector2 TreadmillModel::TargetSpeed() const {
    if (!Driving()) return {};
    if (manualSpeed) return CapLength(*manualSpeed, limits.maxSpeed);
    return CentringSpeed();
}

void TreadmillModel::Step(double seconds) {
    if (!(seconds > 0.0)) return;
    const double rate = Driving() ? limits.acceleration : limits.braking;
    floorSpeed = MoveTowards(floorSpeed, TargetSpeed(), rate * seconds);

    const double follow = 1.0 - std::exp(-seconds / limits.ringTimeConstant);
    ring.x += (userPosition.x - ring.x) * follow;
    ring.y += (userPosition.y - ring.y) * follow;
}

}  // namespace quorvellan::sim

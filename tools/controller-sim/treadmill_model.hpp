// The simulated treadmill: what the controller knows about the belts, the
// user and the ring. A deterministic step function of elapsed time, with no
// sockets, so its behaviour can be checked on its own.
#pragma once

#include <optional>

namespace quorvellan::sim {

struct Vector2 {
    double x = 0.0;
    double y = 0.0;
};

struct Quaternion {
    double w = 1.0;
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
};

// Tuning of the belts, in metres and seconds.
struct TreadmillLimits {
    double maxSpeed = 2.0;          // belt speed cap along any direction
    double acceleration = 2.0;      // belt speed change per second, driving
    double braking = 4.0;           // belt speed change per second, braking or stopping
    double centringGain = 2.5;      // belt speed per metre of offset from the centre
    double ringTimeConstant = 0.2;  // how quickly the ring catches up with the user
};

class TreadmillModel {
public:
    explicit TreadmillModel(TreadmillLimits limits = {}, bool locked = false);

    // Wishes of the application.
    void SetEnabled(bool enabled);
    void SetBrake(bool brake);
    void SetManualSpeeds(std::optional<double> x, std::optional<double> y);
    void SetUserPosition(std::optional<double> x, std::optional<double> y);
    void SetUserRotation(const Quaternion& rotation) { userRotation = rotation; }

    // Advances the belts and the ring by `seconds`.
    void Step(double seconds);

    // The speed the belts head for right now.
    Vector2 TargetSpeed() const;

    bool Enabled() const { return enabled; }
    bool Braked() const { return brake; }
    bool Locked() const { return locked; }
    bool HasManualSpeeds() const { return manualSpeed.has_value(); }
    Vector2 FloorSpeed() const { return floorSpeed; }
    Vector2 RingPosition() const { return ring; }
    Vector2 UserPosition() const { return userPosition; }
    Quaternion UserRotation() const { return userRotation; }

private:
    bool Driving() const { return enabled && !brake; }
    Vector2 CentringSpeed() const;

    TreadmillLimits limits;
    bool enabled = false;
    bool brake = false;
    bool locked;
    std::optional<Vector2> manualSpeed;
    Vector2 userPosition;
    Quaternion userRotation;
    Vector2 floorSpeed;
    Vector2 ring;
};

}  // namespace quorvellan::sim

// The layer's geometry: the application's stage space (OpenXR: +y up, -z
// forward, yaw about +y) against the treadmill's own frame (x right, y
// forward, z up; metres), and the stick the game reads.
#pragma once

namespace quorvellan::openxr {

struct Vec2 {
    double x = 0.0;
    double y = 0.0;
};

struct Quat {
    double w = 1.0;
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
};

// Where the treadmill stands in the stage: its centre on the floor (stage x
// and z) and the yaw of its forward direction (0: stage -z; positive turns
// left, counter-clockwise seen from above).
struct Calibration {
    double centreX = 0.0;
    double centreZ = 0.0;
    double forwardYawDegrees = 0.0;
};

// The treadmill's forward yaw in radians.
double forwardYaw(const Calibration& calibration);

// Yaw of an orientation in stage space: the heading of its forward (-z) axis
// projected on the floor, in radians (0: facing -z, positive to the left).
double yawOf(const Quat& orientation);

// A stage floor point (x, z) in treadmill coordinates.
Vec2 stageToTreadmill(const Calibration& calibration, double stageX, double stageZ);

// A stage orientation as seen from the treadmill, in its axes.
Quat stageToTreadmillRotation(const Calibration& calibration, const Quat& orientation);

// The user's velocity on the treadmill (treadmill frame, m/s) as a stick
// deflection in the frame whose forward has the stage yaw stickYaw: full
// deflection (length 1) at fullDeflectionSpeed. Not clamped.
Vec2 walkingToStick(const Calibration& calibration, Vec2 velocity, double stickYaw, double fullDeflectionSpeed);

// The real stick and the walking deflection together: the longer of the two,
// shortened to the unit disk.
Vec2 combineDeflections(Vec2 real, Vec2 walking);

// A calibration from where the user stands and faces (a stage pose).
Calibration calibrationFromHead(double stageX, double stageZ, const Quat& orientation);

}  // namespace quorvellan::openxr

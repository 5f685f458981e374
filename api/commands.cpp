// Commands: brake and run state go out at once; speeds, position and rotation
// wait in the pending message for the next exchange.
#include "api/QuorvellanAPI.h"

#include "api/export_support.hpp"
#include "messages/protocol.hpp"

using namespace quorvellan;
namespace key = quorvellan::protocol::key;

extern "C" {

QUORVELLAN_API void QUORVELLAN_CALL SetBrake(bool brake) {
    WithSession([&](ControllerSession& session) { session.SetBoolField(key::kBrake, brake); });
}

QUORVELLAN_API void QUORVELLAN_CALL SetTreadmillRunState(bool enabled) {
    WithSession([&](ControllerSession& session) { session.SetBoolField(key::kEnabled, enabled); });
}

QUORVELLAN_API void QUORVELLAN_CALL SetManualSpeeds(double xSpeed, double ySpeed) {
    WithSession([&](ControllerSession& session) {
        session.SetNumberField(key::kManualXSpeed, xSpeed);
        session.SetNumberField(key::kManualYSpeed, ySpeed);
    });
}

QUORVELLAN_API void QUORVELLAN_CALL SetUserPosition(double x, double y) {
    WithSession([&](ControllerSession& session) {
        session.SetNumberField(key::kUserPositionX, x);
        session.SetNumberField(key::kUserPositionY, y);
    });
}

QUORVELLAN_API void QUORVELLAN_CALL SetUserRotation(double w, double x, double y, double z) {
    WithSession([&](ControllerSession& session) {
        session.SetNumberField(key::kUserRotationW, w);
        session.SetNumberField(key::kUserRotationX, x);
        session.SetNumberField(key::kUserRotationY, y);
        session.SetNumberField(key::kUserRotationZ, z);
    });
}

// Accepted for compatibility; the interface has no lock to set.
QUORVELLAN_API void QUORVELLAN_CALL SetAPILock(bool /*locked*/) {}

}  // extern "C"

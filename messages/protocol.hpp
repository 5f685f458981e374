// The controller protocol in one place: port, sender names, versions, sizes
// and every key the library writes or reads.
#pragma once

#include <cstddef>

#include <nlohmann/json.hpp>

namespace quorvellan::protocol {

inline constexpr const char* kPort = "6158";
inline constexpr const char* kLocalHost = "localhost";

// A reply is whatever one receive of at most this many bytes returns.
inline constexpr std::size_t kReplyBufferSize = 2048;

// Who we are, and the protocol version we speak.
inline constexpr const char* kApiSenderName = "QUORVELLAN CONTROLLER API";
inline constexpr int kApiVersionMajor = 1;
inline constexpr int kApiVersionMinor = 3;
inline constexpr int kApiVersionBuild = 0;

// Who answers: the controller on this machine, or on the local network.
inline constexpr const char* kLocalControllerName = "QUORVELLAN CONTROLLER INTERFACE";
inline constexpr const char* kRemoteControllerName = "QUORVELLAN CONTROLLER";

namespace key {
// Header.
inline constexpr const char* kSender = "sender";
inline constexpr const char* kName = "name";
inline constexpr const char* kVersion = "version";
inline constexpr const char* kMajor = "major";
inline constexpr const char* kMinor = "minor";
inline constexpr const char* kBuild = "build";

// Commands, sent at once.
inline constexpr const char* kBrake = "brake";
inline constexpr const char* kEnabled = "enabled";

// Commands, queued until the next exchange.
inline constexpr const char* kManualXSpeed = "manualXSpeed";
inline constexpr const char* kManualYSpeed = "manualYSpeed";
inline constexpr const char* kUserPositionX = "user position x";
inline constexpr const char* kUserPositionY = "user position y";
inline constexpr const char* kUserRotationW = "user rotation w";
inline constexpr const char* kUserRotationX = "user rotation x";
inline constexpr const char* kUserRotationY = "user rotation y";
inline constexpr const char* kUserRotationZ = "user rotation z";

// Reply members.
inline constexpr const char* kFloorSpeed = "floorSpeed";
inline constexpr const char* kRingPosition = "ringPosition";
inline constexpr const char* kX = "x";
inline constexpr const char* kY = "y";
inline constexpr const char* kZ = "z";
inline constexpr const char* kLocked = "locked";
inline constexpr const char* kTreadmill = "treadmill";
inline constexpr const char* kSerialNumber = "serial number";
}  // namespace key

// The first message of a connection carries the build number too.
nlohmann::json FullSenderHeader(const std::string& name, int major, int minor, int build);
// Every later message carries only major and minor.
nlohmann::json ShortSenderHeader(const std::string& name, int major, int minor);

}  // namespace quorvellan::protocol

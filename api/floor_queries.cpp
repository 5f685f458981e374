// Floor belt speeds, raw and normalised, their magnitude, and the ring.
#include "api/QuorvellanAPI.h"

#include <array>
#include <cmath>
#include <string_view>

#include "api/export_support.hpp"
#include "messages/protocol.hpp"
#include "messages/reply_fields.hpp"

using namespace quorvellan;
namespace key = quorvellan::protocol::key;

namespace {

constexpr double kNormalisationDivisor = 1.5;
constexpr double kNormalisedLimit = 1.5;
constexpr double kRingW = 0.45;

const std::array<KeyPath, 2> kFloorSpeedPaths = {KeyPath{key::kFloorSpeed, key::kX},
                                                 KeyPath{key::kFloorSpeed, key::kY}};
const std::array<KeyPath, 3> kRingPaths = {KeyPath{key::kRingPosition, key::kX},
                                           KeyPath{key::kRingPosition, key::kY},
                                           KeyPath{key::kRingPosition, key::kZ}};

// Reads "floorSpeed" x and y, each divided by `divisor`. A reply that does not
// parse leaves `speeds` as it was.
void ReadFloorSpeeds(std::string_view replyText, FloorSpeeds& speeds, double divisor) {
    if (const auto fields = ReadReplyFields(replyText, kFloorSpeedPaths)) {
        speeds.x = (*fields)[0].NumberOrZero() / divisor;
        speeds.y = (*fields)[1].NumberOrZero() / divisor;
    }
}

FloorSpeeds QueryFloorSpeeds(double divisor) {
    FloorSpeeds speeds{0.0, 0.0};
    return WithSession(speeds, [&](ControllerSession& session) {
        ReadFloorSpeeds(session.Exchange(), speeds, divisor);
        return speeds;
    });
}

// Beyond ±1.5 a value becomes ±1.5; NaN passes unchanged.
double LimitNormalised(double value) {
    return std::fabs(value) > kNormalisedLimit ? std::copysign(kNormalisedLimit, value) : value;
}

}  // namespace

extern "C" {

QUORVELLAN_API FloorSpeeds QUORVELLAN_CALL GetFloorSpeeds(void) { return QueryFloorSpeeds(1.0); }

QUORVELLAN_API FloorSpeeds QUORVELLAN_CALL GetFloorSpeedsNormalized(void) {
    FloorSpeeds speeds = QueryFloorSpeeds(kNormalisationDivisor);
    speeds.x = LimitNormalised(speeds.x);
    speeds.y = LimitNormalised(speeds.y);
    return speeds;
}

QUORVELLAN_API double QUORVELLAN_CALL GetFloorSpeedMagnitude(void) {
    FloorSpeeds speeds = GetFloorSpeeds();
    return std::sqrt(speeds.x * speeds.x + speeds.y * speeds.y);
}

QUORVELLAN_API Ring QUORVELLAN_CALL GetRing(void) {
    Ring ring{0.0, 0.0, 0.0, 0.0};
    return WithSession(ring, [&](ControllerSession& session) {
        if (const auto fields = ReadReplyFields(session.Exchange(), kRingPaths)) {
            ring.x = (*fields)[0].NumberOrZero();
            ring.y = (*fields)[1].NumberOrZero();
            ring.z = (*fields)[2].NumberOrZero();
            ring.w = kRingW;
        }
        return ring;
    });
}

}  // extern "C"

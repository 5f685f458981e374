// Floor belt speeds, raw and normalised, their magnitude, and the ring.
#include "api/QuorvellanAPI.h"

#include <cmath>
#include <string>

#include <nlohmann/json.hpp>

#include "api/export_support.hpp"
#include "messages/protocol.hpp"
#include "messages/reply_fields.hpp"

using namespace quorvellan;
namespace key = quorvellan::protocol::key;

namespace {

constexpr double kNormalisationDivisor = 1.5;
constexpr double kNormalisedLimit = 1.5;
constexpr double kRingW = 0.45;

// Reads "floorSpeed" x and y, each divided by `divisor`. A reply that does not
// parse leaves `speeds` as it was. The text is parsed once for both reads.
void ReadFloorSpeeds(const std::string& replyText, FloorSpeeds& speeds, double divisor) {
    try {
        const nlohmann::json reply = ParseReply(replyText);
        speeds.x = GetNumberAtPath({key::kFloorSpeed, key::kX}, reply) / divisor;
        speeds.y = GetNumberAtPath({key::kFloorSpeed, key::kY}, reply) / divisor;
    } catch (const std::exception&) {
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
        const std::string replyText = session.Exchange();
        try {
            const nlohmann::json reply = ParseReply(replyText);  // once for the three reads
            ring.x = GetNumberAtPath({key::kRingPosition, key::kX}, reply);
            ring.y = GetNumberAtPath({key::kRingPosition, key::kY}, reply);
            ring.z = GetNumberAtPath({key::kRingPosition, key::kZ}, reply);
            ring.w = kRingW;
        } catch (const std::exception&) {
        }
        return ring;
    });
}

}  // extern "C"

#include "messages/handshake.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "messages/protocol.hpp"
#include "messages/reply_fields.hpp"

namespace quorvellan {

using nlohmann::json;
namespace key = protocol::key;

const HandshakeVariant kLocalHandshake{protocol::kLocalControllerName, true, 1, 1, 1, kStatusNotLocalController};
const HandshakeVariant kRemoteHandshake{protocol::kRemoteControllerName, false, 1, 2, 2, kStatusNotRemoteController};

namespace {

// A decimal string: leading blanks, optional sign, digits, anything after
// ignored. Raises std::invalid_argument or std::out_of_range otherwise.
int ReadTextComponent(const json& value) { return std::stoi(value.get<std::string>()); }

// A JSON number or boolean: booleans read 0 or 1, integers keep their low 32
// bits, floating-point numbers truncate toward zero.
int ReadNumberComponent(const json& value) {
    if (value.is_number_float()) {
        // Out of range the conversion would be undefined: refuse it.
        double number = std::trunc(value.get<double>());
        if (!(number >= std::numeric_limits<int>::min() && number <= std::numeric_limits<int>::max())) {
            throw std::out_of_range("version number out of range");
        }
        return static_cast<int>(number);
    }
    return value.get<int>();  // raises type_error 302 for strings, null, objects
}

int ReadComponent(json& version, const char* name, const HandshakeVariant& variant) {
    const json& value = version.at(name);
    return variant.versionsAsText ? ReadTextComponent(value) : ReadNumberComponent(value);
}

}  // namespace

HandshakeStatus CheckHandshakeReply(std::string_view replyText, const HandshakeVariant& variant) {
    json reply;
    try {
        reply = ParseReply(replyText);
    } catch (const json::exception&) {
        // Not only parse_error: a number beyond the range of a double makes
        // the parser raise out_of_range 406, and that reply does not parse either.
        return variant.wrongPeerStatus;
    }

    json& sender = reply[key::kSender];
    if (sender.at(key::kName).get<std::string>() != variant.controllerName) return variant.wrongPeerStatus;

    // Each component against its own minimum; later keys are not read once
    // one is below.
    json& version = sender[key::kVersion];
    if (ReadComponent(version, key::kMajor, variant) < variant.minimumMajor) return kStatusVersionTooOld;
    if (ReadComponent(version, key::kMinor, variant) < variant.minimumMinor) return kStatusVersionTooOld;
    if (ReadComponent(version, key::kBuild, variant) < variant.minimumBuild) return kStatusVersionTooOld;
    return kStatusConnected;
}

}  // namespace quorvellan

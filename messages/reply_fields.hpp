// Reading single fields out of a controller reply. Text in, value out: no
// sockets here, so every rule can be tested and fuzzed on plain strings.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "messages/reply_framing.hpp"

namespace quorvellan {

// Member names from the top-level object down; the last names the member read.
using KeyPath = std::vector<std::string>;

// Parses a reply text. The first zero byte ends the input, so the zero-padded
// receive buffer parses as the reply it holds. Raises nlohmann::json::parse_error
// for an empty, malformed or trailing-garbage text.
nlohmann::json ParseReply(std::string_view replyText);

// The number at the path, or 0.0 when the path is missing or not a number.
// Integers convert to the nearest double (unsigned ones stay positive).
// Never raises, and leaves `reply` as it was, so one parsed reply serves
// every read.
double GetNumberAtPath(const KeyPath& path, const nlohmann::json& reply) noexcept;

// The boolean at the path, or false when the path is missing or not a JSON
// boolean (the number 1 is not true). Never raises; leaves `reply` as it was.
bool GetBoolAtPath(const KeyPath& path, const nlohmann::json& reply) noexcept;

// The string at "sender" / "treadmill" / "serial number". Raises a
// std::exception when the reply does not parse, a member is missing or of the
// wrong type.
std::string ReadSerialNumber(std::string_view replyText);

}  // namespace quorvellan

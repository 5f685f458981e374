// Reading single fields out of a controller reply. Text in, value out: no
// sockets here, so every rule can be tested and fuzzed on plain strings.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
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

// What a reply holds at one key path.
struct ReplyField {
    // Absent also when a member on the way is not an object, as for the
    // getters above.
    enum class Kind { kAbsent, kNumber, kBoolean, kString, kOther };

    Kind kind = Kind::kAbsent;
    double number = 0.0;
    bool boolean = false;
    std::string text;

    // What GetNumberAtPath reads: the number, or 0.0.
    double NumberOrZero() const { return kind == Kind::kNumber ? number : 0.0; }
    // What GetBoolAtPath reads: a JSON true, or false.
    bool IsTrue() const { return kind == Kind::kBoolean && boolean; }
};

// The most names a path of ReadReplyFields may have, and the most paths.
inline constexpr std::size_t kMaxFieldPathNames = 4;
inline constexpr std::size_t kMaxFieldPaths = 32;

// Reads the members at `paths`. It accepts and rejects exactly the texts
// ParseReply does, and finds at each path what ParseReply's document holds
// there: of a member given twice, the last one, whole (a second "floorSpeed"
// replaces both of its numbers); keys compare after unescaping. Returns false,
// with `fields` unspecified, for a text ParseReply rejects. Raises
// std::invalid_argument for more paths or names than the limits above, or an
// empty path. The fast reader below reads what it can; the one-pass reader
// decides the rest.
bool ReadReplyFields(std::string_view replyText, const KeyPath* paths, ReplyField* fields, std::size_t count);

// The same, in one pass of ParseReply's parser, without building the document,
// so a reply costs its lexing and little more. Paths as checked above.
bool ReadReplyFieldsOnePass(std::string_view replyText, const KeyPath* paths, ReplyField* fields,
                            std::size_t count);

// How the fast reader ended. Only kRead is an answer; the others leave the
// reply to ReadReplyFieldsOnePass, which reads it as ParseReply would.
enum class FastReadOutcome {
    kRead,          // every field read, as ParseReply's document holds it
    kNotAccepted,   // the fast parser refuses the text: malformed, empty, an
                    // integer past 64 bits, a number beyond a double's range,
                    // nesting past its depth, bad UTF-8, ...
    kDuplicateKey,  // a member on the way to a field is given twice
};

// Reads the fields with simdjson's parser (SIMD kernels chosen at run time).
// `fields` are unspecified unless it returns kRead. Paths as checked above.
FastReadOutcome ReadReplyFieldsFast(std::string_view replyText, const KeyPath* paths, ReplyField* fields,
                                    std::size_t count);

// True when the bytes up to the first zero byte are one JSON object that the
// fast parser accepts, opening and closing with its braces: a reply received
// whole. The document is kept, so that reading the same reply's fields next
// does not parse it again. `readableAfter` bytes after `received` belong to
// the same buffer and are initialized: the parser may read them (not
// interpret them), so the reply is parsed where it lies instead of copied.
bool IsOneObjectFast(std::string_view received, std::size_t readableAfter = 0);

template <std::size_t N>
std::optional<std::array<ReplyField, N>> ReadReplyFields(std::string_view replyText,
                                                          const std::array<KeyPath, N>& paths) {
    std::array<ReplyField, N> fields;
    if (!ReadReplyFields(replyText, paths.data(), fields.data(), N)) return std::nullopt;
    return fields;
}

// The string at "sender" / "treadmill" / "serial number", read as
// ReadReplyFields reads. Raises a std::exception when the reply does not
// parse, a member is missing or of the wrong type.
std::string ReadSerialNumber(std::string_view replyText);

}  // namespace quorvellan

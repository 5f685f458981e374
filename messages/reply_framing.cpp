#include "messages/reply_framing.hpp"

#include <array>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

#include "messages/reply_fields.hpp"

namespace quorvellan {

using nlohmann::json;

namespace {

// Accepts every event; remembers whether the parse failed at the end of input.
struct PrefixProbe : json::json_sax_t {
    bool endedEarly = false;

    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return true; }
    bool key(string_t&) override { return true; }
    bool end_object() override { return true; }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t position, const std::string& lastToken,
                     const nlohmann::detail::exception&) override {
        // The lexer reads one position past the last byte when input runs out
        // (a zero byte counts as the end of input too).
        endedEarly = lastToken.empty() || position > inputSize;
        return false;
    }

    std::size_t inputSize = 0;
};

// The closing quote of the string whose first content byte is `at`, or
// nullptr when the string runs to the end. A quote after an odd run of
// backslashes is escaped; the opening quote ends every run.
const char* StringEnd(const char* at, const char* end) {
    while ((at = static_cast<const char*>(std::memchr(at, '"', static_cast<std::size_t>(end - at))))) {
        std::size_t backslashes = 0;
        while (at[-1 - static_cast<std::ptrdiff_t>(backslashes)] == '\\') ++backslashes;
        if (backslashes % 2 == 0) return at;
        ++at;
    }
    return nullptr;
}

// The bytes the scan outside strings has to look at.
constexpr std::array<bool, 256> kStructuralBytes = [] {
    std::array<bool, 256> structural{};
    for (unsigned char c : {'"', '{', '[', '}', ']'}) structural[c] = true;
    return structural;
}();

// True when the text opens an object whose closing brace, counted outside
// strings, is its last byte: a reply that arrived whole. The parser then
// either accepts the text or rejects it at one of its own bytes, so more
// bytes can never complete it, and the parse can be skipped. It runs on every
// reply received, so it skips strings with memchr and other bytes by table.
bool ClosesItsObjectAtTheEnd(std::string_view text) {
    if (text.empty() || text.front() != '{' || text.back() != '}') return false;
    const char* at = text.data();
    const char* const end = at + text.size();
    int depth = 0;
    for (; at < end; ++at) {
        while (at < end && !kStructuralBytes[static_cast<unsigned char>(*at)]) ++at;
        if (at == end) break;
        if (*at == '"') {
            at = StringEnd(at + 1, end);
            if (!at) return false;
        } else if (*at == '{' || *at == '[') {
            ++depth;
        } else if (--depth == 0) {
            return at + 1 == end;
        }
    }
    return false;
}

}  // namespace

bool IsIncompleteJson(std::string_view text) {
    // A zero byte ends the input: nothing after it can complete the value.
    if (text.find('\0') != std::string_view::npos) return false;
    if (ClosesItsObjectAtTheEnd(text)) return false;
    PrefixProbe probe;
    probe.inputSize = text.size();
    bool parsed = json::sax_parse(text.begin(), text.end(), &probe);
    return !parsed && probe.endedEarly;
}

// The everyday reply, a whole object the fast parser accepts, is framed by
// that parse, whose document the reading of the reply's fields then uses;
// anything else is framed by scanning it.
ReplyFraming FrameReply(std::string_view received, std::size_t readableAfter) {
    if (IsOneObjectFast(received, readableAfter)) return ReplyFraming::Complete;
    return FrameReplyByScan(received);
}

ReplyFraming FrameReplyByScan(std::string_view received) {
    const std::size_t zero = received.find('\0');
    const std::string_view content = received.substr(0, zero);
    const bool endedByZero = zero != std::string_view::npos;
    // The everyday reply: an object whose closing brace is the last byte.
    if (ClosesItsObjectAtTheEnd(content)) return ReplyFraming::Complete;
    if (IsIncompleteJson(content)) return endedByZero ? ReplyFraming::Broken : ReplyFraming::Incomplete;
    if (!json::accept(content)) return ReplyFraming::Broken;
    // "12" may be the start of "123": only a following byte ends a number.
    const bool mayGrow = !endedByZero && std::isdigit(static_cast<unsigned char>(content.back()));
    return mayGrow ? ReplyFraming::Incomplete : ReplyFraming::Complete;
}

}  // namespace quorvellan

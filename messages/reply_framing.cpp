#include "messages/reply_framing.hpp"

#include <cctype>
#include <string>

#include <nlohmann/json.hpp>

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

// True when the text opens an object whose closing brace, counted outside
// strings, is its last byte: a reply that arrived whole. The parser then
// either accepts the text or rejects it at one of its own bytes, so more
// bytes can never complete it, and the parse can be skipped.
bool ClosesItsObjectAtTheEnd(std::string_view text) {
    if (text.empty() || text.front() != '{' || text.back() != '}') return false;
    int depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') {
                ++i;  // the escaped byte cannot end the string
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if ((c == '}' || c == ']') && --depth == 0) {
            return i + 1 == text.size();
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

ReplyFraming FrameReply(std::string_view received) {
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

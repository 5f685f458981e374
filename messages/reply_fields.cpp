#include "messages/reply_fields.hpp"

#include <optional>

#include "messages/protocol.hpp"

namespace quorvellan {

using nlohmann::json;

json ParseReply(std::string_view replyText) {
    // The parser itself treats a zero byte as the end of the input.
    return json::parse(replyText.begin(), replyText.end());
}

namespace {

// Walks all names but the last with member access by name (on a copy, so the
// caller's value never changes) and returns the last member when it exists.
std::optional<json> MemberAtPath(const KeyPath& path, json working) {
    if (path.empty()) return std::nullopt;
    for (std::size_t i = 0; i + 1 < path.size(); ++i) {
        json next = std::move(working[path[i]]);
        working = std::move(next);
    }
    const std::string& last = path.back();
    if (!working.is_object() || !working.contains(last)) return std::nullopt;
    return std::move(working.at(last));
}

}  // namespace

double GetNumberAtPath(KeyPath path, json reply) noexcept {
    try {
        std::optional<json> member = MemberAtPath(path, std::move(reply));
        // get<double> accepts the three number kinds and raises for the rest.
        return member ? member->get<double>() : 0.0;
    } catch (...) {
        return 0.0;
    }
}

bool GetBoolAtPath(KeyPath path, json reply) noexcept {
    try {
        std::optional<json> member = MemberAtPath(path, std::move(reply));
        // get<bool> accepts only a JSON boolean.
        return member ? member->get<bool>() : false;
    } catch (...) {
        return false;
    }
}

std::string ReadSerialNumber(std::string_view replyText) {
    json reply = ParseReply(replyText);
    return reply[protocol::key::kSender][protocol::key::kTreadmill].at(protocol::key::kSerialNumber).get<std::string>();
}

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

}  // namespace quorvellan

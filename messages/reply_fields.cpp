#include "messages/reply_fields.hpp"

#include "messages/protocol.hpp"

namespace quorvellan {

using nlohmann::json;

json ParseReply(std::string_view replyText) {
    // The parser itself treats a zero byte as the end of the input.
    return json::parse(replyText.begin(), replyText.end());
}

namespace {

// The member at the path, or nullptr when there is none. The names before the
// last are read as member access by name reads them, without its side effects:
// a member of null, or an absent member, reads as null; any other non-object
// ends the walk (member access would raise). The reply itself never changes.
const json* MemberAtPath(const KeyPath& path, const json& reply) {
    static const json null;
    if (path.empty()) return nullptr;
    const json* working = &reply;
    for (std::size_t i = 0; i + 1 < path.size(); ++i) {
        if (working->is_null()) continue;
        if (!working->is_object()) return nullptr;
        auto member = working->find(path[i]);
        working = member != working->end() ? &*member : &null;
    }
    if (!working->is_object()) return nullptr;
    auto member = working->find(path.back());
    return member != working->end() ? &*member : nullptr;
}

}  // namespace

double GetNumberAtPath(const KeyPath& path, const json& reply) noexcept {
    try {
        const json* member = MemberAtPath(path, reply);
        // get<double> accepts the three number kinds and raises for the rest.
        return member ? member->get<double>() : 0.0;
    } catch (...) {
        return 0.0;
    }
}

bool GetBoolAtPath(const KeyPath& path, const json& reply) noexcept {
    try {
        const json* member = MemberAtPath(path, reply);
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

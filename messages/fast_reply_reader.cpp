// The fast reading of a reply's fields: simdjson's DOM parser validates the
// whole text with SIMD kernels chosen at run time for the processor, then the
// wanted members are looked up in its tape. It answers only where it reads
// exactly what nlohmann's document parse reads; everything else is left to
// the one-pass reader, which nlohmann's own parser drives.
#include <cstdint>
#include <mutex>
#include <string>

#include <simdjson.h>

#include "messages/reply_fields.hpp"

namespace quorvellan {

namespace {

namespace dom = simdjson::dom;

// One parser serves every call: it keeps its buffers from reply to reply.
// Never destroyed, so that a call during the process's exit still finds it.
struct FastParser {
    std::mutex mutex;
    dom::parser parser;
    // A copy of a reply that leaves too few bytes after its end for the
    // parser's reads past it.
    std::string padded;
    // The text parsed last and its document's root: an exchange frames a
    // reply and then reads its fields, and the same bytes need parsing once.
    std::string lastText;
    dom::element lastRoot;
    bool haveLast = false;
};

FastParser& TheFastParser() {
    static FastParser* parser = new FastParser;
    return *parser;
}

enum class Lookup { kFound, kAbsent, kDuplicate };

// The member `name` of `object`. A name given twice is reported rather than
// resolved: which of the two counts is the document parse's rule to apply.
Lookup FindMember(dom::object object, const std::string& name, dom::element& member) {
    Lookup found = Lookup::kAbsent;
    for (dom::key_value_pair pair : object) {
        if (pair.key != name) continue;
        if (found == Lookup::kFound) return Lookup::kDuplicate;
        found = Lookup::kFound;
        member = pair.value;
    }
    return found;
}

// The value's kind and contents as ReplyField holds them. Numbers convert as
// nlohmann's get<double> converts its three number kinds: the parser keeps
// integers as int64 or uint64 exactly where nlohmann does (it rejects the
// longer ones), and rounds decimals correctly, as strtod does.
void Store(dom::element value, ReplyField& field) {
    switch (value.type()) {
        case dom::element_type::INT64:
            field.kind = ReplyField::Kind::kNumber;
            field.number = static_cast<double>(value.get_int64().value_unsafe());
            break;
        case dom::element_type::UINT64:
            field.kind = ReplyField::Kind::kNumber;
            field.number = static_cast<double>(value.get_uint64().value_unsafe());
            break;
        case dom::element_type::DOUBLE:
            field.kind = ReplyField::Kind::kNumber;
            field.number = value.get_double().value_unsafe();
            break;
        case dom::element_type::BOOL:
            field.kind = ReplyField::Kind::kBoolean;
            field.boolean = value.get_bool().value_unsafe();
            break;
        case dom::element_type::STRING:
            field.kind = ReplyField::Kind::kString;
            field.text = std::string(value.get_string().value_unsafe());
            break;
        default:
            field.kind = ReplyField::Kind::kOther;
            break;
    }
}

// Walks one path from the root; false when a member on the way is given twice.
bool ReadPath(dom::element root, const KeyPath& path, ReplyField& field) {
    field = ReplyField{};
    dom::element at = root;
    for (const std::string& name : path) {
        dom::object object;
        if (at.get(object) != simdjson::SUCCESS) return true;  // absent
        const Lookup found = FindMember(object, name, at);
        if (found == Lookup::kDuplicate) return false;
        if (found == Lookup::kAbsent) return true;
    }
    Store(at, field);
    return true;
}

// Parses the reply where it lies when the bytes after it leave the parser room
// to read past its end, else a copy of it.
simdjson::simdjson_result<dom::element> Parse(FastParser& fast, std::string_view text, std::size_t roomAfter) {
    if (roomAfter >= simdjson::SIMDJSON_PADDING) return fast.parser.parse(text.data(), text.size(), false);
    fast.padded.assign(text.data(), text.size());
    fast.padded.resize(text.size() + simdjson::SIMDJSON_PADDING, ' ');
    return fast.parser.parse(fast.padded.data(), text.size(), false);
}

// The root of the text's document: the one parsed last when the text is the
// same, else a fresh parse.
simdjson::error_code ParseOnce(FastParser& fast, std::string_view text, std::size_t roomAfter, dom::element& root) {
    if (fast.haveLast && text == fast.lastText) {
        root = fast.lastRoot;
        return simdjson::SUCCESS;
    }
    fast.haveLast = false;  // the parse below replaces the document
    const simdjson::error_code error = Parse(fast, text, roomAfter).get(root);
    if (error) return error;
    fast.lastText.assign(text);
    fast.lastRoot = root;
    fast.haveLast = true;
    return simdjson::SUCCESS;
}

// The reply's text: up to its first zero byte, which ends the input as for
// ParseReply; the zero bytes after it are room the parser may read.
std::string_view TextBeforeZero(std::string_view replyText, std::size_t& roomAfter) {
    const std::size_t zero = replyText.find('\0');
    const std::string_view text = replyText.substr(0, zero);
    roomAfter = zero == std::string_view::npos ? 0 : replyText.size() - text.size();
    return text;
}

}  // namespace

bool IsOneObjectFast(std::string_view received, std::size_t readableAfter) {
    std::size_t roomAfter = 0;
    const std::string_view text = TextBeforeZero(received, roomAfter);
    roomAfter += readableAfter;
    if (text.empty() || text.front() != '{' || text.back() != '}') return false;
    FastParser& fast = TheFastParser();
    std::lock_guard<std::mutex> lock(fast.mutex);
    dom::element root;
    return ParseOnce(fast, text, roomAfter, root) == simdjson::SUCCESS;
}

FastReadOutcome ReadReplyFieldsFast(std::string_view replyText, const KeyPath* paths, ReplyField* fields,
                                    std::size_t count) {
    std::size_t roomAfter = 0;
    const std::string_view text = TextBeforeZero(replyText, roomAfter);

    FastParser& fast = TheFastParser();
    std::lock_guard<std::mutex> lock(fast.mutex);
    dom::element root;
    if (ParseOnce(fast, text, roomAfter, root) != simdjson::SUCCESS) return FastReadOutcome::kNotAccepted;
    for (std::size_t i = 0; i < count; ++i) {
        if (!ReadPath(root, paths[i], fields[i])) return FastReadOutcome::kDuplicateKey;
    }
    return FastReadOutcome::kRead;
}

}  // namespace quorvellan

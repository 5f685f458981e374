// Reads every input three ways and aborts on any difference: nlohmann's parsed
// document (the judge), the one-pass reader driven by nlohmann's SAX parser,
// and the simdjson fast reader, where it answers at all; then the reader the
// queries call, which tries the fast one and falls back. Compared: the verdict
// on the text, the kind and exact bits of each value, the getters' fallbacks,
// the serial number or its failure; and the framing verdict against the scan
// alone. Each input is read as it came and as the zero-padded 2048-byte
// buffer an exchange returns.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "messages/protocol.hpp"
#include "messages/reply_fields.hpp"

using namespace quorvellan;
using nlohmann::json;
namespace key = quorvellan::protocol::key;

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

// The queries' paths, then paths that end where others go on, a member on the
// way to none, and the handshake's members.
const std::vector<KeyPath> kPaths = {
    {key::kFloorSpeed, key::kX},
    {key::kFloorSpeed, key::kY},
    {key::kRingPosition, key::kX},
    {key::kRingPosition, key::kY},
    {key::kRingPosition, key::kZ},
    {key::kEnabled},
    {key::kLocked},
    {key::kSender, key::kTreadmill, key::kSerialNumber},
    {key::kFloorSpeed},
    {key::kSender},
    {key::kSender, key::kTreadmill},
    {key::kSender, key::kVersion, key::kMajor},
    {key::kSender, key::kName},
    {"a", "b", "c", "d"},
};

// The sets the queries read together, as indices into kPaths.
const std::vector<std::vector<std::size_t>> kQuerySets = {{0, 1}, {2, 3, 4}, {5, 6}, {7}};

std::optional<json> Document(std::string_view text) {
    try {
        return ParseReply(text);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// What the document holds at the path, walked as the getters walk it.
ReplyField DocumentField(const KeyPath& path, const json& reply) {
    const json* at = &reply;
    for (const std::string& name : path) {
        if (!at->is_object()) return {};
        const auto member = at->find(name);
        if (member == at->end()) return {};
        at = &*member;
    }
    ReplyField field;
    if (at->is_number()) {
        field.kind = ReplyField::Kind::kNumber;
        field.number = at->get<double>();
    } else if (at->is_boolean()) {
        field.kind = ReplyField::Kind::kBoolean;
        field.boolean = at->get<bool>();
    } else if (at->is_string()) {
        field.kind = ReplyField::Kind::kString;
        field.text = at->get<std::string>();
    } else {
        field.kind = ReplyField::Kind::kOther;
    }
    return field;
}

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void RequireSame(const ReplyField& read, const ReplyField& expected) {
    Require(read.kind == expected.kind);
    switch (read.kind) {
        case ReplyField::Kind::kNumber: Require(SameBits(read.number, expected.number)); break;
        case ReplyField::Kind::kBoolean: Require(read.boolean == expected.boolean); break;
        case ReplyField::Kind::kString: Require(read.text == expected.text); break;
        default: break;
    }
}

// A reader of the fields at some paths; false when it does not answer.
using Reader = bool (*)(std::string_view, const KeyPath*, ReplyField*, std::size_t);

bool FastReader(std::string_view text, const KeyPath* paths, ReplyField* fields, std::size_t count) {
    return ReadReplyFieldsFast(text, paths, fields, count) == FastReadOutcome::kRead;
}

// The fields of `indices`; false when the reader rejects the text or declines it.
bool ReadSet(Reader reader, std::string_view text, const std::vector<std::size_t>& indices,
             std::vector<ReplyField>& fields) {
    std::vector<KeyPath> paths;
    for (std::size_t i : indices) paths.push_back(kPaths[i]);
    fields.assign(paths.size(), ReplyField{});
    return reader(text, paths.data(), fields.data(), paths.size());
}

void RequireDocumentFields(const std::vector<std::size_t>& set, const std::vector<ReplyField>& fields,
                           const json& document) {
    for (std::size_t j = 0; j < set.size(); ++j) {
        const KeyPath& path = kPaths[set[j]];
        RequireSame(fields[j], DocumentField(path, document));
        Require(SameBits(fields[j].NumberOrZero(), GetNumberAtPath(path, document)));
        Require(fields[j].IsTrue() == GetBoolAtPath(path, document));
    }
}

void CompareFields(std::string_view text, const std::optional<json>& document) {
    std::vector<std::size_t> all(kPaths.size());
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
    std::vector<std::vector<std::size_t>> sets = kQuerySets;
    sets.push_back(all);
    for (const std::vector<std::size_t>& set : sets) {
        std::vector<ReplyField> fields;
        // The one-pass reader and the queries' reader answer every text as the document does.
        for (Reader reader : {Reader{ReadReplyFieldsOnePass}, Reader{ReadReplyFields}}) {
            Require(ReadSet(reader, text, set, fields) == document.has_value());
            if (document) RequireDocumentFields(set, fields, *document);
        }
        // The fast reader may decline any text, but answers only what the document accepts.
        if (ReadSet(FastReader, text, set, fields)) {
            Require(document.has_value());
            RequireDocumentFields(set, fields, *document);
        }
    }
}

// The serial number as the document path read it, member access and all.
std::optional<std::string> DocumentSerial(std::string_view text) {
    try {
        json reply = ParseReply(text);
        return reply[key::kSender][key::kTreadmill].at(key::kSerialNumber).get<std::string>();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::string> FieldSerial(std::string_view text) {
    try {
        return ReadSerialNumber(text);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void CompareEveryWay(std::string_view text) {
    CompareFields(text, Document(text));
    Require(FieldSerial(text) == DocumentSerial(text));
}

// The framing verdict, through the fast parser where it answers, against the
// scan alone; `readableAfter` bytes after the text are the parser's to read,
// never to judge.
void CompareFraming(std::string_view text, std::size_t readableAfter = 0) {
    Require(FrameReply(text, readableAfter) == FrameReplyByScan(text));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view raw(reinterpret_cast<const char*>(data), size);
    // Read before it is framed, then framed before it is read: the fields
    // come from a fresh parse and from the document the framing kept.
    CompareEveryWay(raw);
    CompareFraming(raw);
    if (size <= protocol::kReplyBufferSize) {
        std::string buffer(protocol::kReplyBufferSize, '\0');
        std::memcpy(buffer.data(), data, size);
        CompareFraming(buffer);
        // As the session frames it: the bytes received, its buffer's rest readable
        // but no part of the reply, even where it would close the object.
        CompareFraming(std::string_view(buffer.data(), size), buffer.size() - size);
        if (size < buffer.size()) {
            buffer[size] = '}';
            CompareFraming(std::string_view(buffer.data(), size), buffer.size() - size);
            buffer[size] = '\0';
        }
        CompareEveryWay(buffer);
    }
    return 0;
}

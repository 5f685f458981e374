#include "messages/reply_fields.hpp"

#include <cstdint>
#include <stdexcept>
#include <utility>

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

namespace {

// Follows the parser's events and keeps, for each wanted path, the value the
// document would hold there. A path is one bit of a mask. The objects on the
// way to a wanted member are tracked with the paths that go through them;
// inside anything else only the depth is counted, so nothing is allocated.
class FieldCollector {
public:
    using Mask = std::uint32_t;

    FieldCollector(const KeyPath* paths, ReplyField* fields, std::size_t count)
        : paths(paths), fields(fields), pending(count == 32 ? ~Mask{0} : (Mask{1} << count) - 1) {}

    bool null() { return Scalar(ReplyField::Kind::kOther); }
    bool boolean(bool value) {
        return Scalar(ReplyField::Kind::kBoolean, [value](ReplyField& field) { field.boolean = value; });
    }
    bool number_integer(json::number_integer_t value) { return Number(static_cast<double>(value)); }
    bool number_unsigned(json::number_unsigned_t value) { return Number(static_cast<double>(value)); }
    bool number_float(json::number_float_t value, const json::string_t&) { return Number(value); }
    bool string(json::string_t& value) {
        return Scalar(ReplyField::Kind::kString, [&value](ReplyField& field) { field.text = value; });
    }
    bool binary(json::binary_t&) { return Scalar(ReplyField::Kind::kOther); }
    bool start_object(std::size_t) { return StartContainer(true); }
    bool start_array(std::size_t) { return StartContainer(false); }
    bool end_object() { return EndContainer(); }
    bool end_array() { return EndContainer(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) { return false; }

    // A member of a tracked object: it starts (or, given again, replaces) the
    // value of every path that names it next.
    bool key(json::string_t& name) {
        if (untrackedDepth > 0 || trackedCount == 0) return true;
        const Frame& object = tracked[trackedCount - 1];
        pending = 0;
        pendingLevel = object.level + 1;
        ForEach(object.paths, [&](std::size_t i) {
            if (paths[i][object.level] != name) return;
            pending |= Mask{1} << i;
            fields[i].kind = ReplyField::Kind::kAbsent;
        });
        return true;
    }

private:
    struct Frame {
        Mask paths;         // the paths that continue inside this object
        std::size_t level;  // the names read to reach it
    };

    template <typename Visit>
    void ForEach(Mask mask, Visit&& visit) const {
        for (std::size_t i = 0; mask != 0; ++i, mask >>= 1) {
            if (mask & 1) visit(i);
        }
    }

    // The pending paths that end at the value now read.
    Mask EndingHere() const {
        Mask ending = 0;
        ForEach(pending, [&](std::size_t i) {
            if (paths[i].size() == pendingLevel) ending |= Mask{1} << i;
        });
        return ending;
    }

    template <typename Store>
    bool Scalar(ReplyField::Kind kind, Store&& store) {
        ForEach(EndingHere(), [&](std::size_t i) {
            fields[i].kind = kind;
            store(fields[i]);
        });
        pending = 0;
        return true;
    }
    bool Scalar(ReplyField::Kind kind) {
        return Scalar(kind, [](ReplyField&) {});
    }
    bool Number(double value) {
        return Scalar(ReplyField::Kind::kNumber, [value](ReplyField& field) { field.number = value; });
    }

    bool StartContainer(bool isObject) {
        const Mask ending = EndingHere();
        ForEach(ending, [&](std::size_t i) { fields[i].kind = ReplyField::Kind::kOther; });
        const Mask inside = isObject ? pending & ~ending : 0;
        pending = 0;
        if (inside != 0) {
            tracked[trackedCount++] = Frame{inside, pendingLevel};
        } else {
            ++untrackedDepth;
        }
        return true;
    }

    bool EndContainer() {
        if (untrackedDepth > 0) {
            --untrackedDepth;
        } else {
            --trackedCount;
        }
        return true;
    }

    const KeyPath* paths;
    ReplyField* fields;
    // The paths whose member the next value is, after pendingLevel names.
    Mask pending;
    std::size_t pendingLevel = 0;
    // Only objects that paths continue in are tracked, one per name at most.
    std::array<Frame, kMaxFieldPathNames> tracked{};
    std::size_t trackedCount = 0;
    std::size_t untrackedDepth = 0;
};

}  // namespace

namespace {

void CheckPaths(const KeyPath* paths, std::size_t count) {
    if (count > kMaxFieldPaths) throw std::invalid_argument("too many reply paths");
    for (std::size_t i = 0; i < count; ++i) {
        if (paths[i].empty() || paths[i].size() > kMaxFieldPathNames) throw std::invalid_argument("bad reply path");
    }
}

}  // namespace

bool ReadReplyFields(std::string_view replyText, const KeyPath* paths, ReplyField* fields, std::size_t count) {
    CheckPaths(paths, count);
    if (ReadReplyFieldsFast(replyText, paths, fields, count) == FastReadOutcome::kRead) return true;
    // The one-pass reader fills in only the members it meets.
    for (std::size_t i = 0; i < count; ++i) fields[i] = ReplyField{};
    return ReadReplyFieldsOnePass(replyText, paths, fields, count);
}

bool ReadReplyFieldsOnePass(std::string_view replyText, const KeyPath* paths, ReplyField* fields,
                            std::size_t count) {
    CheckPaths(paths, count);
    FieldCollector collector(paths, fields, count);
    // The parser itself treats a zero byte as the end of the input, as for ParseReply.
    return json::sax_parse(replyText.begin(), replyText.end(), &collector);
}

std::string ReadSerialNumber(std::string_view replyText) {
    static const std::array<KeyPath, 1> kSerialPath = {
        KeyPath{protocol::key::kSender, protocol::key::kTreadmill, protocol::key::kSerialNumber}};
    std::optional<std::array<ReplyField, 1>> fields = ReadReplyFields(replyText, kSerialPath);
    if (!fields) throw std::runtime_error("the reply does not parse");
    ReplyField& serial = (*fields)[0];
    if (serial.kind != ReplyField::Kind::kString) throw std::runtime_error("the reply has no serial number");
    return std::move(serial.text);
}

}  // namespace quorvellan

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

}  // namespace quorvellan

// Run state, serial number, the information record and the lock query.
#include "api/QuorvellanAPI.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#include "api/export_support.hpp"
#include "messages/protocol.hpp"
#include "messages/reply_fields.hpp"

using namespace quorvellan;
namespace key = quorvellan::protocol::key;

namespace {

// Returned on every failure; owned by the library, never to be freed.
const char kNoSerialNumber[] = "";

const std::array<KeyPath, 2> kRunStatePaths = {KeyPath{key::kEnabled}, KeyPath{key::kLocked}};

// Raises when the reply does not parse, which makes the query return false.
bool ReadRunState(std::string_view replyText, bool checkLock) {
    const auto fields = ReadReplyFields(replyText, kRunStatePaths);
    if (!fields) throw std::runtime_error("the reply does not parse");
    bool enabled = (*fields)[0].IsTrue();
    if (!checkLock || !enabled) return enabled;
    return !(*fields)[1].IsTrue();
}

// A new buffer the caller owns, or the constant empty string.
const char* CopyForCaller(const std::string& serial) {
    char* buffer = static_cast<char*>(std::malloc(serial.size() + 1));
    if (!buffer) return kNoSerialNumber;
    std::memcpy(buffer, serial.data(), serial.size());
    buffer[serial.size()] = '\0';
    return buffer;
}

}  // namespace

extern "C" {

QUORVELLAN_API bool QUORVELLAN_CALL GetTreadmillRunState(bool checkLock) {
    return WithSession(false, [&](ControllerSession& session) {
        // The exchange comes first in both forms.
        return ReadRunState(session.Exchange(), checkLock);
    });
}

QUORVELLAN_API const char* QUORVELLAN_CALL GetTreadmillSerialNumber(void) {
    return WithSession(static_cast<const char*>(kNoSerialNumber),
                       [](ControllerSession& session) { return CopyForCaller(ReadSerialNumber(session.Exchange())); });
}

QUORVELLAN_API TreadmillInfo QUORVELLAN_CALL GetTreadmillInfo(void) {
    TreadmillInfo info;
    std::memset(&info, 0, sizeof info);
    return info;
}

QUORVELLAN_API bool QUORVELLAN_CALL GetAPILock(void) { return false; }

}  // extern "C"

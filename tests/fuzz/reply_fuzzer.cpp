// Feeds arbitrary reply bytes to every path that reads a controller reply,
// exactly as the entry points do, in-process and without sockets: both
// handshake checks, the field reads of each query, the serial-number read and
// the check for a reply still arriving. Each input is read twice: as it came,
// and as the zero-padded 2048-byte buffer that an exchange returns.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>

#include "messages/handshake.hpp"
#include "messages/protocol.hpp"
#include "messages/reply_fields.hpp"

using namespace quorvellan;
namespace key = quorvellan::protocol::key;

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

void CheckHandshake(std::string_view reply, const HandshakeVariant& variant) {
    try {
        const HandshakeStatus status = CheckHandshakeReply(reply, variant);
        Require(status == kStatusConnected || status == kStatusVersionTooOld || status == variant.wrongPeerStatus);
    } catch (const std::exception&) {
        // InitInternal reports these as status 8.
    }
}

// GetFloorSpeeds and GetRing: one parse, then each field read from it.
void ReadFloorAndRing(std::string_view replyText) {
    try {
        const nlohmann::json reply = ParseReply(replyText);
        volatile double x = GetNumberAtPath({key::kFloorSpeed, key::kX}, reply);
        volatile double y = GetNumberAtPath({key::kFloorSpeed, key::kY}, reply);
        volatile double rx = GetNumberAtPath({key::kRingPosition, key::kX}, reply);
        volatile double ry = GetNumberAtPath({key::kRingPosition, key::kY}, reply);
        volatile double rz = GetNumberAtPath({key::kRingPosition, key::kZ}, reply);
        (void)x, (void)y, (void)rx, (void)ry, (void)rz;
    } catch (const std::exception&) {
    }
}

// GetTreadmillRunState, both forms.
void ReadRunState(std::string_view replyText) {
    try {
        const nlohmann::json reply = ParseReply(replyText);
        if (GetBoolAtPath({key::kEnabled}, reply)) {
            volatile bool locked = GetBoolAtPath({key::kLocked}, reply);
            (void)locked;
        }
    } catch (const std::exception&) {
    }
}

// GetTreadmillSerialNumber: the copy handed to the caller, then freed.
void ReadSerial(std::string_view reply) {
    try {
        const std::string serial = ReadSerialNumber(reply);
        char* copy = static_cast<char*>(std::malloc(serial.size() + 1));
        if (!copy) return;
        std::memcpy(copy, serial.data(), serial.size());
        copy[serial.size()] = '\0';
        std::free(copy);
    } catch (const std::exception&) {
    }
}

bool Parses(std::string_view reply) {
    try {
        ParseReply(reply);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void ReadEveryWay(std::string_view reply) {
    CheckHandshake(reply, kLocalHandshake);
    CheckHandshake(reply, kRemoteHandshake);
    ReadFloorAndRing(reply);
    ReadRunState(reply);
    ReadSerial(reply);
    // A reply that parses is complete: the exchange must not wait for more.
    if (IsIncompleteJson(reply)) Require(!Parses(reply));
    // Ending the connection on a reply that cannot be framed never throws away
    // one that would have parsed.
    if (FrameReply(reply) == ReplyFraming::Broken) Require(!Parses(reply));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view raw(reinterpret_cast<const char*>(data), size);
    ReadEveryWay(raw);
    if (size <= protocol::kReplyBufferSize) {
        std::string buffer(protocol::kReplyBufferSize, '\0');
        std::memcpy(buffer.data(), data, size);
        ReadEveryWay(buffer);
        // The padding ends the input: the buffer reads as the bytes before it.
        const std::string_view beforeZero = raw.substr(0, raw.find('\0'));
        Require(Parses(buffer) == Parses(beforeZero));
    }
    return 0;
}

// Checking the controller's answer to the handshake: its sender name and its
// version, component by component. Text in, status out: no sockets here.
#pragma once

#include <string_view>

namespace quorvellan {

// Status codes written by InitInternal.
enum HandshakeStatus : int {
    kStatusConnected = 0,
    kStatusVersionTooOld = 3,
    kStatusNotLocalController = 4,
    kStatusNotRemoteController = 5,
    kStatusFailure = 8,
};

struct HandshakeVariant {
    const char* controllerName;  // byte-exact
    bool versionsAsText;         // decimal strings, or JSON numbers
    int minimumMajor;
    int minimumMinor;
    int minimumBuild;
    HandshakeStatus wrongPeerStatus;  // unparsable reply or wrong name
};

// The controller on this machine, reached at "localhost".
extern const HandshakeVariant kLocalHandshake;
// The controller on the local network.
extern const HandshakeVariant kRemoteHandshake;

// Returns kStatusConnected, kStatusVersionTooOld or the variant's wrong-peer
// status. Raises a std::exception for every other fault of the reply (missing
// member, wrong type, version text that is not a number): kStatusFailure.
HandshakeStatus CheckHandshakeReply(std::string_view replyText, const HandshakeVariant& variant);

}  // namespace quorvellan

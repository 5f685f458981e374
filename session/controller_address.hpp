// The controller's address as a user writes it: host[:port], [IPv6]:port.
// Text in, address or reason out: no sockets, no environment here.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quorvellan {

struct ControllerAddress {
    std::string host;  // a name or an address literal, without brackets
    std::string port;  // decimal, 1..65535

    // host:port, with an IPv6 literal in brackets.
    std::string Text() const;
};

struct ParsedAddress {
    std::optional<ControllerAddress> address;
    std::string error;  // why the text is not an address, when address is empty
};

// Reads "host", "host:port", "[v6]" or "[v6]:port"; a missing port is
// defaultPort. The host is a name of letters, digits, '-', '.' and '_', or an
// address literal.
ParsedAddress ParseControllerAddress(std::string_view text, const std::string& defaultPort);

}  // namespace quorvellan

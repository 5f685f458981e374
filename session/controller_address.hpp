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
// address literal. White space around the text is ignored (a value pasted
// with a newline).
ParsedAddress ParseControllerAddress(std::string_view text, const std::string& defaultPort);

// The environment variable that gives the controller's address at run time.
constexpr const char* kControllerAddressVariable = "QUORVELLAN_CONTROLLER";

// Where to connect, given the variable's value (nullopt when it is not set)
// and the default address: the default for no value or an empty one, the
// value's address when it is well formed, and nothing for a malformed one (a
// mistyped address must not reach the default controller, which may be
// another treadmill); then `error` says why.
ParsedAddress ChooseControllerAddress(const std::optional<std::string>& variable, const ControllerAddress& fallback);

// The process's value of kControllerAddressVariable. On Windows it is read
// from the process's environment block, which also holds values set at run
// time by a runtime whose C library is not ours (.NET, Python).
std::optional<std::string> ControllerAddressVariable();

}  // namespace quorvellan

#include "session/controller_address.hpp"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace quorvellan {

namespace {

constexpr std::size_t kLongestHostName = 253;

ParsedAddress Malformed(std::string reason) { return ParsedAddress{std::nullopt, std::move(reason)}; }

std::string_view Trimmed(std::string_view text) {
    const auto isSpace = [](unsigned char c) { return std::isspace(c) != 0; };
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    return text;
}

bool IsHostNameCharacter(unsigned char c) { return std::isalnum(c) || c == '-' || c == '.' || c == '_'; }

bool IsIpv6Character(unsigned char c) { return std::isxdigit(c) || c == ':' || c == '.'; }

// Decimal 1..65535 without sign or spaces; empty when it is not.
std::optional<std::string> PortNumber(std::string_view text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    if (!std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; })) {
        return std::nullopt;
    }
    const long value = std::stol(std::string(text));
    if (value < 1 || value > 65535) return std::nullopt;
    return std::to_string(value);
}

// portText: what follows the ':', if there is one.
ParsedAddress WithPort(std::string host, std::optional<std::string_view> portText, const std::string& defaultPort) {
    const std::optional<std::string> port = portText ? PortNumber(*portText) : defaultPort;
    if (!port) return Malformed("the port must be a number from 1 to 65535");
    return ParsedAddress{ControllerAddress{std::move(host), *port}, {}};
}

// "[v6]" or "[v6]:port".
ParsedAddress ParseBracketed(std::string_view text, const std::string& defaultPort) {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos) return Malformed("an IPv6 address needs its closing ']'");
    const std::string_view inside = text.substr(1, close - 1);
    if (inside.empty() || inside.find(':') == std::string_view::npos ||
        !std::all_of(inside.begin(), inside.end(), IsIpv6Character)) {
        return Malformed("only an IPv6 address goes in brackets");
    }
    const std::string_view rest = text.substr(close + 1);
    if (rest.empty()) return WithPort(std::string(inside), std::nullopt, defaultPort);
    if (rest.front() != ':') return Malformed("only ':port' may follow ']'");
    return WithPort(std::string(inside), rest.substr(1), defaultPort);
}

}  // namespace

std::string ControllerAddress::Text() const {
    const bool ipv6 = host.find(':') != std::string::npos;
    return (ipv6 ? "[" + host + "]" : host) + ":" + port;
}

ParsedAddress ParseControllerAddress(std::string_view text, const std::string& defaultPort) {
    text = Trimmed(text);
    if (text.find("://") != std::string_view::npos) {
        return Malformed("no scheme such as 'http://': the controller speaks its own protocol on host:port");
    }
    if (!text.empty() && text.front() == '[') return ParseBracketed(text, defaultPort);
    const std::size_t colon = text.find(':');
    if (colon != std::string_view::npos && text.find(':', colon + 1) != std::string_view::npos) {
        return Malformed("an IPv6 address goes in brackets: [address]:port");
    }
    const std::string_view host = text.substr(0, colon);
    if (host.empty()) return Malformed("the host is empty");
    if (host.size() > kLongestHostName || !std::all_of(host.begin(), host.end(), IsHostNameCharacter)) {
        return Malformed("the host must be a name or an address (letters, digits, '-', '.', '_')");
    }
    if (colon == std::string_view::npos) return WithPort(std::string(host), std::nullopt, defaultPort);
    return WithPort(std::string(host), text.substr(colon + 1), defaultPort);
}

ParsedAddress ChooseControllerAddress(const std::optional<std::string>& variable, const ControllerAddress& fallback) {
    if (!variable || Trimmed(*variable).empty()) return ParsedAddress{fallback, {}};
    return ParseControllerAddress(*variable, fallback.port);
}

std::optional<std::string> ControllerAddressVariable() {
#if defined(_WIN32)
    std::string value(GetEnvironmentVariableA(kControllerAddressVariable, nullptr, 0), '\0');
    if (value.empty()) return std::nullopt;
    value.resize(GetEnvironmentVariableA(kControllerAddressVariable, value.data(), static_cast<DWORD>(value.size())));
    return value;
#else
    const char* value = std::getenv(kControllerAddressVariable);
    if (!value) return std::nullopt;
    return std::string(value);
#endif
}

}  // namespace quorvellan

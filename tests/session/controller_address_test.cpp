// The controller's address as written in QUORVELLAN_CONTROLLER or --controller:
// what is read from each form, and the reason given for each malformed one.
#include "session/controller_address.hpp"

#include <gtest/gtest.h>

namespace {

using quorvellan::ParseControllerAddress;

TEST(ControllerAddress, WellFormedValuesAndTheirHostAndPort) {
    struct Case {
        const char* text;
        const char* host;
        const char* port;
        const char* written;
    };
    for (const Case& c : {Case{"sim-pc", "sim-pc", "6158", "sim-pc:6158"},
                          Case{"127.0.0.1:7001", "127.0.0.1", "7001", "127.0.0.1:7001"},
                          Case{"Controller_2.local:65535", "Controller_2.local", "65535", "Controller_2.local:65535"},
                          Case{"h:1", "h", "1", "h:1"},
                          Case{"host:00080", "host", "80", "host:80"},
                          Case{"[::1]", "::1", "6158", "[::1]:6158"},
                          Case{"[fe80::1:2]:7000", "fe80::1:2", "7000", "[fe80::1:2]:7000"},
                          Case{"[::ffff:10.0.0.1]:9", "::ffff:10.0.0.1", "9", "[::ffff:10.0.0.1]:9"},
                          Case{" \tsim-pc:7000\r\n", "sim-pc", "7000", "sim-pc:7000"}}) {
        const auto parsed = ParseControllerAddress(c.text, "6158");
        ASSERT_TRUE(parsed.address) << c.text << ": " << parsed.error;
        EXPECT_EQ(parsed.address->host, c.host) << c.text;
        EXPECT_EQ(parsed.address->port, c.port) << c.text;
        EXPECT_EQ(parsed.address->Text(), c.written) << c.text;
    }
}

TEST(ControllerAddress, MalformedValuesNameTheirFault) {
    struct Case {
        std::string text;
        const char* reason;  // a part of the reason given
    };
    for (const Case& c : {Case{"", "host is empty"}, Case{":7000", "host is empty"},
                          Case{"host:", "port must be"}, Case{"host:0", "port must be"},
                          Case{"host:65536", "port must be"}, Case{"host:123456", "port must be"},
                          Case{"host:-1", "port must be"}, Case{"host:+80", "port must be"},
                          Case{"host:7x", "port must be"}, Case{"host: 80", "port must be"},
                          Case{"::1", "brackets"}, Case{"fe80::1:7000", "brackets"},
                          Case{"[::1", "closing ']'"}, Case{"[]:7000", "only an IPv6"},
                          Case{"[host]:7000", "only an IPv6"}, Case{"[::1]7000", "only ':port'"},
                          Case{"[::1]:", "port must be"}, Case{"two words", "host must be"},
                          Case{"user@host", "host must be"}, Case{"http://host", "no scheme"}, Case{"tcp://[::1]:7000", "no scheme"},
                          Case{"host/path", "host must be"}, Case{std::string("ho\0st", 5), "host must be"},
                          Case{std::string(254, 'a'), "host must be"}, Case{" \n", "host is empty"}}) {
        const auto parsed = ParseControllerAddress(c.text, "6158");
        EXPECT_FALSE(parsed.address) << c.text;
        EXPECT_NE(parsed.error.find(c.reason), std::string::npos) << c.text << ": " << parsed.error;
    }
}

}  // namespace

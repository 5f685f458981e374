// InitInternal and QUORVELLAN_CONTROLLER: a well-formed value chooses the
// controller, for local and network connections alike; a malformed one is
// reported in one line, once, and nothing is connected to (a mistyped address
// must not drive the treadmill on the default one); so is a host that cannot
// be looked up.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "api/QuorvellanAPI.h"
#include "tests/support/test_controller.hpp"

using namespace quorvellan::testing;

namespace {

// Away from 6158 and from the ports of the tools' tests.
constexpr std::uint16_t kOtherPort = 16158;

// On Windows in the process's environment block, as .NET and Python set it.
void SetVariable(const char* value) {
#if defined(_WIN32)
    SetEnvironmentVariableA("QUORVELLAN_CONTROLLER", value);
#else
    if (value) setenv("QUORVELLAN_CONTROLLER", value, 1);
    else unsetenv("QUORVELLAN_CONTROLLER");
#endif
}

class AddressVariable : public ::testing::Test {
protected:
    void TearDown() override {
        SetVariable(nullptr);
        DeInitInternal();
    }

    // InitInternal with the variable set to value; returns what it printed.
    static std::string InitWith(const std::string& value, bool local, int* result) {
        SetVariable(value.c_str());
        ::testing::internal::CaptureStdout();
        int status = -1;
        *result = InitInternal(&status, local);
        return ::testing::internal::GetCapturedStdout();
    }
};

TEST_F(AddressVariable, ChoosesTheControllerForBothKindsOfConnection) {
    TestController usual;
    TestController other(kOtherPort);
    usual.SetDefaultReply(LocalHandshakeReply());
    other.QueueReply(LocalHandshakeReply());
    other.QueueReply(RemoteHandshakeReply());
    other.QueueReply(LocalHandshakeReply());
    int result = 0;
    EXPECT_EQ(InitWith("127.0.0.1:" + std::to_string(kOtherPort), true, &result), "");
    EXPECT_EQ(result, 1);
    // The network handshake, at the same address.
    EXPECT_EQ(InitWith("localhost:" + std::to_string(kOtherPort), false, &result), "");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(other.ConnectionCount(), 2u);
    EXPECT_EQ(usual.ConnectionCount(), 0u);
    // Surrounding white space is not part of the address.
    EXPECT_EQ(InitWith(" 127.0.0.1:" + std::to_string(kOtherPort) + "\n", true, &result), "");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(other.ConnectionCount(), 3u);
    // Empty: the default.
    EXPECT_EQ(InitWith("", true, &result), "");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(usual.ConnectionCount(), 1u);
}

TEST_F(AddressVariable, MalformedValueOrUnknownHostIsReportedOnceAndNothingConnected) {
    TestController usual;
    usual.SetDefaultReply(LocalHandshakeReply());
    int result = 0;
    ASSERT_EQ(InitWith("", true, &result), "");  // connected: a bad value must also end this connection
    struct Case {
        std::string value;
        std::string line;  // what the one line says after "Error: "
    };
    const std::string notAddress = "\" is not host[:port] (";
    for (const Case& c :
         {Case{":7000", "QUORVELLAN_CONTROLLER=\":7000" + notAddress}, Case{"host:0", "QUORVELLAN_CONTROLLER=\"host:0" + notAddress},
          Case{"::1", "QUORVELLAN_CONTROLLER=\"::1" + notAddress}, Case{"two words", "QUORVELLAN_CONTROLLER=\"two words" + notAddress},
          Case{"127.0.0.1:x", "QUORVELLAN_CONTROLLER=\"127.0.0.1:x" + notAddress},
          Case{"http://127.0.0.1:6158", "QUORVELLAN_CONTROLLER=\"http://127.0.0.1:6158\" is not host[:port] (no scheme"},
          Case{"no-such-host.invalid:7000", "cannot find the controller's host \"no-such-host.invalid\" ("}}) {
        const std::string printed = InitWith(c.value, true, &result);
        EXPECT_EQ(result, -1) << c.value;
        EXPECT_EQ(CheckConnection(), 0) << c.value;
        EXPECT_EQ(printed.rfind("Error: " + c.line, 0), 0u) << printed;
        EXPECT_EQ(printed.find('\n'), printed.size() - 1) << "one line: " << printed;
        // The same value again: nothing more is printed, nothing is reached.
        EXPECT_EQ(InitWith(c.value, true, &result), "") << c.value;
        EXPECT_EQ(result, -1) << c.value;
    }
    EXPECT_EQ(usual.ConnectionCount(), 1u);
}

}  // namespace

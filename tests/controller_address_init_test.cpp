// InitInternal and QUORVELLAN_CONTROLLER: a well-formed value chooses the
// controller, for local and network connections alike; a malformed one is
// reported in one line, once, and the default (port 6158) is used.
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
    int result = 0;
    EXPECT_EQ(InitWith("127.0.0.1:" + std::to_string(kOtherPort), true, &result), "");
    EXPECT_EQ(result, 1);
    // The network handshake, at the same address.
    EXPECT_EQ(InitWith("localhost:" + std::to_string(kOtherPort), false, &result), "");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(other.ConnectionCount(), 2u);
    EXPECT_EQ(usual.ConnectionCount(), 0u);
    // Empty: the default.
    EXPECT_EQ(InitWith("", true, &result), "");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(usual.ConnectionCount(), 1u);
}

TEST_F(AddressVariable, MalformedValueIsReportedOnceAndTheDefaultUsed) {
    TestController usual;
    usual.SetDefaultReply(LocalHandshakeReply());
    std::size_t connections = 0;
    for (const std::string value : {":7000", "host:0", "host:65536", "::1", "two words", "[::1"}) {
        int result = 0;
        const std::string printed = InitWith(value, true, &result);
        EXPECT_EQ(result, 1) << value;
        EXPECT_EQ(usual.ConnectionCount(), ++connections) << value;
        EXPECT_EQ(printed.rfind("Error: QUORVELLAN_CONTROLLER=\"" + value + "\" is not host[:port] (", 0), 0u)
            << printed;
        EXPECT_NE(printed.find("); using localhost:6158\n"), std::string::npos) << printed;
        EXPECT_EQ(printed.find('\n'), printed.size() - 1) << "one line: " << printed;
        // The same value again: nothing more is printed.
        EXPECT_EQ(InitWith(value, true, &result), "") << value;
        EXPECT_EQ(result, 1) << value;
        ++connections;
    }
}

}  // namespace

// Runs the C caller that frees serial-number buffers through msvcrt's free,
// as the bindings do on Windows, against the scripted controller.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/export_helpers.hpp"
#include "tests/support/test_controller.hpp"

namespace {

using namespace quorvellan::testing;

TEST(SerialFree, MsvcrtFreeReleasesEveryBuffer) {
    TestController controller;
    controller.QueueReply(LocalHandshakeReply());
    controller.SetDefaultReply(R"({"enabled":true,"sender":{"treadmill":{"serial number":"WIN-SERIAL-42"}}})");
    const std::string command = std::string("\"") + QUORVELLAN_SERIAL_FREE_CALLER + "\" WIN-SERIAL-42 2000";
    EXPECT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(controller.Messages().size(), 2002u) << "handshake and one query per read";
}

}  // namespace

// Runs the plain C caller (c_api_test.c) as its own process: once with nothing
// listening, once against the scripted controller, whose record shows that the
// values C passed arrived intact.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/export_helpers.hpp"
#include "tests/support/test_controller.hpp"

namespace {

using namespace quorvellan::testing;

int RunCaller(const std::string& arguments) {
    const std::string command = std::string("\"") + QUORVELLAN_C_CALLER + "\" " + arguments;
    return std::system(command.c_str());
}

TEST(CCaller, FallbacksWithoutController) { EXPECT_EQ(RunCaller(""), 0); }

TEST(CCaller, AgainstTheController) {
    TestController controller;
    controller.QueueReply(LocalHandshakeReply());
    controller.SetDefaultReply(R"({"enabled":true,"locked":false,"floorSpeed":{"x":0.75,"y":-1.5},)"
                               R"("ringPosition":{"x":1,"y":2,"z":3},)"
                               R"("sender":{"treadmill":{"serial number":"ABC-123"}}})");
    ASSERT_EQ(RunCaller("controller"), 0);

    const auto messages = controller.Messages();
    ASSERT_EQ(messages.size(), 10u) << "handshake, seven queries, two commands sent at once";
    EXPECT_EQ(messages[0], FullHeaderMessage());
    EXPECT_EQ(messages[1], MessageWith(R"("manualXSpeed":0.5,"manualYSpeed":-0.25)"));
    for (std::size_t i = 2; i < 8; ++i) EXPECT_EQ(messages[i], ShortHeaderMessage()) << "message " << i;
    EXPECT_EQ(messages[8], MessageWith(R"("brake":true)",
                                       R"("user position x":1.5,"user position y":-2.0,"user rotation w":1.0,)"
                                       R"("user rotation x":0.0,"user rotation y":0.0,"user rotation z":0.0)"));
    EXPECT_EQ(messages[9], MessageWith(R"("enabled":false)"));
}

}  // namespace

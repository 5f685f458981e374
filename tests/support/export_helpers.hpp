// Small helpers shared by the tests that drive the library through its entry
// points against the TestController.
#pragma once

#include <chrono>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "api/QuorvellanAPI.h"
#include "tests/support/test_controller.hpp"

namespace quorvellan::testing {

// Queues a good local handshake reply and connects; fails the test otherwise.
inline void InitLocal(TestController& controller) {
    controller.QueueReply(LocalHandshakeReply());
    int status = -1;
    ASSERT_EQ(InitInternal(&status, true), 1);
    ASSERT_EQ(status, QUORVELLAN_STATUS_CONNECTED);
}

// The exact bytes of a later message: the members that sort before "sender",
// the short header, and the members that sort after it (either may be empty).
inline std::string MessageWith(const std::string& before, const std::string& after = "") {
    const std::string header = ShortHeaderMessage();
    std::string members = header.substr(1, header.size() - 2);
    if (!before.empty()) members = before + "," + members;
    if (!after.empty()) members += "," + after;
    return "{" + members + "}";
}

// Runs `call` and returns what it printed on standard output.
template <typename Call>
std::string StdoutOf(Call&& call) {
    ::testing::internal::CaptureStdout();
    std::forward<Call>(call)();
    return ::testing::internal::GetCapturedStdout();
}

// Runs `call` and returns how long it took.
template <typename Call>
std::chrono::milliseconds DurationOf(Call&& call) {
    const auto start = std::chrono::steady_clock::now();
    std::forward<Call>(call)();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

}  // namespace quorvellan::testing

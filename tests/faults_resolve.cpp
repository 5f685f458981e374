// A controller name that does not resolve. The process first moves into a
// network namespace of its own (only a loopback that is down), so the failed
// look-up never leaves this machine.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sched.h>
#endif

#include "api/QuorvellanAPI.h"
#include "tests/faults_support.hpp"

using namespace quorvellan::faults;

TEST(ResolveFaults, UnresolvableNameFailsWithStatus8WithoutWaitingForTheDeadline) {
#if defined(_WIN32)
    GTEST_SKIP() << "needs a private network namespace (Linux), so that the failed look-up never leaves this machine";
#else
    if (unshare(CLONE_NEWNET) != 0) GTEST_SKIP() << "needs a private network namespace (root)";
    for (int attempt = 0; attempt < 2; ++attempt) {
        int status = -1;
        int result = 0;
        const milliseconds taken = TimeCall([&] { result = InitInternal(&status, false); });
        EXPECT_EQ(result, -1);
        EXPECT_EQ(status, 8);
        EXPECT_LT(taken, milliseconds(2500)) << "a failed look-up must not wait for the 3 s connect deadline";
        EXPECT_EQ(CheckConnection(), 0);
    }
    EXPECT_FALSE(GetTreadmillRunState(true));
    EXPECT_STREQ(GetTreadmillSerialNumber(), "");
#endif
}

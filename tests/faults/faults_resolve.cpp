// Name look-ups of the network host. The process first moves into a network
// namespace of its own, so no look-up ever leaves this machine: one where the
// look-up fails at once, and one whose nameserver takes every query and never
// answers, where the look-up must end with the 3 s connect deadline or at
// DeInitInternal rather than with the system resolver's own timeouts.
#include <gtest/gtest.h>


#if !defined(_WIN32)
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#endif

#include "api/QuorvellanAPI.h"
#include "tests/faults/faults_support.hpp"

using namespace quorvellan::faults;

#if !defined(_WIN32)
namespace {

bool BringLoopbackUp() {
    const int control = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = control >= 0 && ioctl(control, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    up = up && ioctl(control, SIOCSIFFLAGS, &request) == 0;
    if (control >= 0) close(control);
    return up;
}

// This process's own view of /etc/resolv.conf, naming a nameserver on the
// namespace's loopback, with a resolver timeout far beyond the connect deadline.
bool UseLoopbackNameserver() {
    char path[] = "/tmp/quorvellan-resolv-XXXXXX";
    const int file = mkstemp(path);
    if (file < 0) return false;
    const char conf[] = "nameserver 127.0.0.1\noptions timeout:8 attempts:1\n";
    const bool written = write(file, conf, sizeof conf - 1) == static_cast<ssize_t>(sizeof conf - 1);
    close(file);
    const bool mounted = written && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                         mount(path, "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0;
    unlink(path);
    return mounted;
}

// Takes every query and never answers. Returns the socket, or -1.
int SilentNameserver() {
    const int server = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (server >= 0 && bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return server;
    if (server >= 0) close(server);
    return -1;
}

}  // namespace
#endif

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

TEST(ResolveFaults, UnansweredLookUpEndsWithTheConnectDeadlineOrDeInit) {
#if defined(_WIN32)
    GTEST_SKIP() << "needs private network and mount namespaces (Linux) for a nameserver that never answers";
#else
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) GTEST_SKIP() << "needs private namespaces (root)";
    ASSERT_TRUE(BringLoopbackUp());
    ASSERT_TRUE(UseLoopbackNameserver());
    const int nameserver = SilentNameserver();
    ASSERT_GE(nameserver, 0);

    int status = -1;
    int result = 0;
    const milliseconds taken = TimeCall([&] { result = InitInternal(&status, false); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(status, 8);
    EXPECT_GE(taken, milliseconds(2900));
    EXPECT_LT(taken, kInitBound) << "the look-up must end with the 3 s connect deadline, not the resolver's 8 s";

    // From another thread, DeInitInternal ends a look-up in progress at once.
    const InterruptedInit interrupted = InterruptInit(false);
    EXPECT_EQ(interrupted.status, 8) << "-1: the look-up was not ended";
    EXPECT_LT(interrupted.deinitTook, milliseconds(1000));
    EXPECT_EQ(CheckConnection(), 0);
    close(nameserver);
#endif
}

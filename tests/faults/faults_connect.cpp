// Connect faults: nothing listening, a listener that never accepts, a connect
// ended from another thread, and what child processes inherit.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#if !defined(_WIN32)
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#endif

#include <boost/asio.hpp>

#include "api/QuorvellanAPI.h"
#include "tests/faults/faults_support.hpp"

using namespace quorvellan::faults;
namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

// A listener on port 6158 whose accept queue is full: it takes nothing from
// the queue and one waiting connection fills a backlog of zero, so the kernel
// drops every further SYN and a connect can only time out.
class FullBacklogListener {
public:
    FullBacklogListener() {
        for (const char* address : {"127.0.0.1", "::1"}) Fill(tcp::endpoint(asio::ip::make_address(address), 6158));
        if (listeners.empty()) throw std::runtime_error("cannot listen on port 6158");
    }

private:
    void Fill(const tcp::endpoint& endpoint) {
        auto listener = std::make_unique<tcp::acceptor>(io);
        boost::system::error_code ec;
        listener->open(endpoint.protocol(), ec);
        if (ec) return;
        listener->set_option(asio::socket_base::reuse_address(true));
        if (endpoint.address().is_v6()) listener->set_option(asio::ip::v6_only(true), ec);
        listener->bind(endpoint, ec);
        if (ec) return;  // no IPv6 loopback here
        listener->listen(0);
        auto waiting = std::make_unique<tcp::socket>(io);
        waiting->connect(endpoint);
        listeners.push_back(std::move(listener));
        queued.push_back(std::move(waiting));
    }

    asio::io_context io;
    std::vector<std::unique_ptr<tcp::acceptor>> listeners;
    std::vector<std::unique_ptr<tcp::socket>> queued;
};

void ExpectEveryQueryFallsBackAtOnce() {
    const milliseconds taken = TimeCall([] {
        FloorSpeeds speeds = GetFloorSpeeds();
        EXPECT_EQ(speeds.x, 0.0);
        EXPECT_EQ(speeds.y, 0.0);
        EXPECT_FALSE(GetTreadmillRunState(false));
        EXPECT_STREQ(GetTreadmillSerialNumber(), "");
        SetBrake(true);
    });
    EXPECT_LT(taken, kExchangeBound);
    EXPECT_EQ(CheckConnection(), 0);
}

}  // namespace

TEST(ConnectFaults, NothingListeningFailsFastWithStatus8) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        int status = -1;
        int result = 0;
        const milliseconds taken = TimeCall([&] { result = InitInternal(&status, true); });
        EXPECT_EQ(result, -1);
        EXPECT_EQ(status, 8);
        EXPECT_LT(taken, milliseconds(1000)) << "a refused connect must not wait for the 3 s deadline";
        EXPECT_EQ(CheckConnection(), 0);
    }
    ExpectEveryQueryFallsBackAtOnce();
}

TEST(ConnectFaults, ListenerThatNeverAcceptsTimesOutAfterAboutThreeSeconds) {
    FullBacklogListener listener;
    int status = -1;
    int result = 0;
    const milliseconds taken = TimeCall([&] { result = InitInternal(&status, true); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(status, 8);
    EXPECT_GE(taken, milliseconds(2900));
    EXPECT_LT(taken, kInitBound);
    EXPECT_EQ(CheckConnection(), 0);
    ExpectEveryQueryFallsBackAtOnce();
}

// DeInitInternal from another thread ends a connect in progress at once: this
// is how a background caller is stopped without waiting out the 3 s.
TEST(ConnectFaults, DeInitFromAnotherThreadEndsAConnectInProgress) {
    FullBacklogListener listener;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const InterruptedInit interrupted = InterruptInit(true);
        EXPECT_EQ(interrupted.status, 8) << "-1: the connect was not ended";
        EXPECT_LT(interrupted.deinitTook, milliseconds(1000));
        EXPECT_EQ(CheckConnection(), 0);
    }
    ExpectEveryQueryFallsBackAtOnce();
}

#if !defined(_WIN32)
// Every socket of this process (the controller runs in a child) is the
// library's; none may be inherited by a program the application starts.
TEST(ConnectFaults, TheConnectionIsCloseOnExec) {
    ControllerProcess controller(HealthyAnswer);
    int status = -1;
    ASSERT_EQ(InitInternal(&status, true), 1);
    int sockets = 0;
    DIR* fds = opendir("/proc/self/fd");
    ASSERT_NE(fds, nullptr);
    while (dirent* entry = readdir(fds)) {
        const int fd = std::atoi(entry->d_name);
        struct stat info {};
        if (fd == dirfd(fds) || fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode)) continue;
        ++sockets;
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << "socket " << fd << " leaks into child processes";
    }
    closedir(fds);
    EXPECT_EQ(sockets, 1);
}
#endif

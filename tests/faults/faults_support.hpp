// Shared by the fault suite: timing a call, a controller in a child process
// that can be killed for real, the heap in use, and the replies the suite uses.
#pragma once

#if !defined(_WIN32)
#include <sys/types.h>
#endif

#include <chrono>
#include <cstddef>
#include <future>
#include <string>
#include <thread>

#include "api/QuorvellanAPI.h"

#include "tests/support/test_controller.hpp"

namespace quorvellan::faults {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Bounds with generous slack: the machine stalls now and then for ~100 ms.
// One exchange is at most a 100 ms write and a 100 ms read.
inline constexpr milliseconds kExchangeBound{1000};
// InitInternal: 3 s to connect plus one exchange.
inline constexpr milliseconds kInitBound{6000};

template <typename Call>
milliseconds TimeCall(Call&& call) {
    const Clock::time_point start = Clock::now();
    call();
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

// An InitInternal on a thread of its own, ended from this thread by
// DeInitInternal once it has waited `after`: how long DeInitInternal took, and
// the status InitInternal ended with (-1 when it had not ended a second later).
struct InterruptedInit {
    milliseconds deinitTook;
    int status;
};

inline InterruptedInit InterruptInit(bool local, milliseconds after = milliseconds(200)) {
    std::promise<int> statusOut;
    std::future<int> ended = statusOut.get_future();
    std::thread connecting([&] {
        int status = -1;
        InitInternal(&status, local);
        statusOut.set_value(status);
    });
    std::this_thread::sleep_for(after);
    const milliseconds took = TimeCall([] { DeInitInternal(); });
    const bool endedInTime = ended.wait_for(milliseconds(1000)) == std::future_status::ready;
    connecting.join();
    return {took, endedInTime ? ended.get() : -1};
}

// The controller's everyday answer to a query.
inline const std::string kFloorReply =
    R"({"enabled":true,"floorSpeed":{"x":0.75,"y":-1.5},"locked":false,)"
    R"("ringPosition":{"x":1,"y":2,"z":3},"sender":{"treadmill":{"serial number":"SN-0042"}}})";

// True when the message opens a connection (only the handshake carries "build").
bool IsHandshakeMessage(const std::string& message);

#if !defined(_WIN32)
// A controller in a child process, so that it can be killed (SIGKILL) like a
// crashing controller, and so that its memory is not the library's. The child
// dies with the test process. It is forked: POSIX only.
class ControllerProcess {
public:
    explicit ControllerProcess(testing::TestController::Responder responder);
    ~ControllerProcess();
    ControllerProcess(const ControllerProcess&) = delete;
    ControllerProcess& operator=(const ControllerProcess&) = delete;

    // Kills the controller at once; the kernel closes its sockets.
    void Kill();

private:
    pid_t pid = -1;
};
#endif

// Answers the handshake as the local controller and every other message with
// kFloorReply.
testing::Response HealthyAnswer(const std::string& message);

#if !defined(_WIN32)
// Bytes of heap the process holds now (the sanitizer's count under ASan).
std::size_t HeapInUse();
#endif

}  // namespace quorvellan::faults

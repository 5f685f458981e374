#include "tests/faults/faults_support.hpp"

#if !defined(_WIN32)
#include <malloc.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstddef>
#include <stdexcept>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORVELLAN_UNDER_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QUORVELLAN_UNDER_ASAN 1
#endif
#if defined(QUORVELLAN_UNDER_ASAN)
// The sanitizer runtime's count of live heap bytes (GCC ships no header for it).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace quorvellan::faults {

bool IsHandshakeMessage(const std::string& message) { return message.find("\"build\"") != std::string::npos; }

testing::Response HealthyAnswer(const std::string& message) {
    return testing::Reply(IsHandshakeMessage(message) ? testing::LocalHandshakeReply() : kFloorReply);
}

#if !defined(_WIN32)
namespace {

[[noreturn]] void RunControllerChild(int readyPipe, const testing::TestController::Responder& responder) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    try {
        testing::TestController controller;
        controller.SetResponder(responder);
        const char ready = 1;
        if (write(readyPipe, &ready, 1) != 1) _exit(1);
        for (;;) pause();
    } catch (...) {
        _exit(1);
    }
}

}  // namespace

ControllerProcess::ControllerProcess(testing::TestController::Responder responder) {
    int ready[2];
    if (pipe(ready) != 0) throw std::runtime_error("pipe failed");
    pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        close(ready[0]);
        RunControllerChild(ready[1], responder);
    }
    close(ready[1]);
    char flag = 0;
    const bool listening = read(ready[0], &flag, 1) == 1;
    close(ready[0]);
    if (!listening) {
        Kill();
        throw std::runtime_error("controller process did not start");
    }
}

ControllerProcess::~ControllerProcess() { Kill(); }

void ControllerProcess::Kill() {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

std::size_t HeapInUse() {
#if defined(QUORVELLAN_UNDER_ASAN)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}
#endif  // !_WIN32

}  // namespace quorvellan::faults

// InitInternal, DeInitInternal, CheckConnection, and the library's load hook.
#include "api/QuorvellanAPI.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "api/export_support.hpp"
#include "messages/handshake.hpp"
#include "messages/protocol.hpp"
#include "session/io_service.hpp"
#include "session/remote_host.hpp"

#if defined(_WIN32)
#include <windows.h>

#include <boost/asio/detail/thread.hpp>
#else
#include <pthread.h>
#endif

namespace quorvellan {

namespace {

// Set once by the first InitInternal and kept for the life of the process.
// Atomic because DeInitInternal may read it from another thread.
std::atomic<ControllerSession*> sessionPointer{nullptr};

HandshakeStatus RunHandshake(ControllerSession& session, const HandshakeVariant& variant) {
    session.SetSenderHeader(protocol::kApiSenderName);
    return CheckHandshakeReply(session.Exchange(), variant);
}

// Prints an "Error:" line once for each new text: a stream tries again every
// second, and the same fault would otherwise fill the output. One write, so
// that lines a program prints on another thread stay whole. Called with the
// session mutex held.
void ReportOnce(std::string& lastReported, const std::string& text, const std::string& line) {
    if (text == lastReported) return;
    lastReported = text;
    std::cout << ("Error: " + line + "\n") << std::flush;
}

// $QUORVELLAN_CONTROLLER when set and well formed, else the default; nothing
// for a malformed value, reported once: a mistyped address must not reach the
// controller on the default address, which may be another treadmill.
std::optional<ControllerAddress> ChosenAddress(bool local) {
    static std::string reportedValue;
    const std::optional<std::string> value = ControllerAddressVariable();
    ParsedAddress chosen = ChooseControllerAddress(value, DefaultControllerAddress(local));
    if (!chosen.address) {
        ReportOnce(reportedValue, *value,
                   std::string(kControllerAddressVariable) + "=\"" + *value + "\" is not host[:port] (" + chosen.error +
                       "); not connecting");
    }
    return chosen.address;
}

// A host that cannot be looked up is named once, like a malformed address:
// otherwise a mistyped name would only show as failed connects.
void ConnectTo(ControllerSession& session, const ControllerAddress& address) {
    static std::string reportedHost;
    try {
        session.Connect(address);
    } catch (const LookUpError& error) {
        ReportOnce(reportedHost, address.host,
                   "cannot find the controller's host \"" + address.host + "\" (" + error.code().message() + ")");
        throw;
    }
}

// Set while a connect holds the session's lock; a fork ends such a connect
// rather than wait up to its 3 s deadline for the lock.
std::atomic<bool> connectUnderWay{false};

struct ConnectUnderWay {
    ConnectUnderWay() { connectUnderWay = true; }
    ~ConnectUnderWay() { connectUnderWay = false; }
    ConnectUnderWay(const ConnectUnderWay&) = delete;
    ConnectUnderWay& operator=(const ConnectUnderWay&) = delete;
};

HandshakeStatus ConnectAndHandshake(bool local) {
    if (LibraryTornDown()) return kStatusFailure;
    std::lock_guard<std::mutex> lock(SessionMutex());
    if (!sessionPointer) sessionPointer = new ControllerSession();
    ControllerSession& session = *sessionPointer;
    // A previous DeInitInternal stopped the service: start it again.
    boost::asio::io_context& ioService = LibraryIoService();
    if (ioService.stopped()) ioService.restart();
    session.ClearInterrupt();

    const std::optional<ControllerAddress> address = ChosenAddress(local);
    if (!address) {
        session.Disconnect();  // whatever it was connected to is not what was asked for
        return kStatusFailure;
    }
    {
        ConnectUnderWay mark;
        ConnectTo(session, *address);
    }
    return RunHandshake(session, local ? kLocalHandshake : kRemoteHandshake);
}

// Ends the connection, also when a call on another thread is in progress: each
// stop ends the wait under way, and a reconnect restarts the service only once
// at its start, so stopping until that call has returned is bounded.
void StopAndDisconnect(ControllerSession& session) {
    boost::asio::io_context& ioService = LibraryIoService();
    std::unique_lock<std::mutex> lock(SessionMutex(), std::defer_lock);
    for (;;) {
        ioService.stop();
        session.Interrupt();
        if (lock.try_lock()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ioService.stop();
    session.Disconnect();
}

#if !defined(_WIN32)
// fork copies the I/O service and the connection into the child, where they
// still belong to the parent: the epoll instance is shared, so a socket the
// child closed or opened would change the parent's registrations too, and the
// resolver's thread does not exist there. Asio's procedure for fork gives the
// child an event queue of its own and stops the resolver's thread around the
// fork; the child then closes its copy of the socket, which sends nothing.
// The session's lock is held across the fork so that no exchange is midway.
// A fork never waits on the network for it: an exchange holds the lock for at
// most its write and read deadlines, but a connect on another thread would
// hold it up to 3 s, so that connect is ended as DeInitInternal ends a call
// (its InitInternal fails; a stream tries again), and look-ups that would
// keep the resolver's thread busy are made only for names the network must
// answer (see ControllerSession::Resolve).
void BeforeFork() {
    if (LibraryTornDown()) return;
    std::mutex& mutex = SessionMutex();
    while (!mutex.try_lock()) {
        if (connectUnderWay) {
            LibraryIoService().stop();
            if (ControllerSession* session = sessionPointer.load()) session->Interrupt();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    try {
        LibraryIoService().notify_fork(boost::asio::execution_context::fork_prepare);
    } catch (...) {
    }
}

void AfterForkInParent() {
    if (LibraryTornDown()) return;
    try {
        LibraryIoService().notify_fork(boost::asio::execution_context::fork_parent);
    } catch (...) {
    }
    SessionMutex().unlock();
}

void AfterForkInChild() {
    if (LibraryTornDown()) return;
    try {
        LibraryIoService().notify_fork(boost::asio::execution_context::fork_child);
        if (ControllerSession* session = sessionPointer.load()) session->AfterForkInChild();
    } catch (...) {
    }
    SessionMutex().unlock();
}

[[maybe_unused]] const int forkHandlers = pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild);
#endif

}  // namespace

ControllerSession* CurrentSession() noexcept { return sessionPointer; }

// Never destroyed, so that a call during the process's exit still finds it.
std::mutex& SessionMutex() noexcept {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

}  // namespace quorvellan

using namespace quorvellan;

extern "C" {

QUORVELLAN_API int QUORVELLAN_CALL InitInternal(int* statusCode, bool local) {
    HandshakeStatus status = kStatusFailure;
    try {
        status = ConnectAndHandshake(local);
    } catch (...) {
        // Resolve, connect, a malformed reply, or the session's own creation.
        status = kStatusFailure;
    }
    if (statusCode) *statusCode = status;
    return status == kStatusConnected ? 1 : -1;
}

QUORVELLAN_API int QUORVELLAN_CALL DeInitInternal(void) {
    try {
        ControllerSession* session = CurrentSession();
        if (session && !LibraryTornDown()) StopAndDisconnect(*session);
    } catch (...) {
    }
    return 1;
}

QUORVELLAN_API int QUORVELLAN_CALL CheckConnection(void) {
    const ControllerSession* session = CurrentSession();
    return session && !LibraryTornDown() && session->IsConnected() ? 1 : 0;
}

}  // extern "C"

#if defined(_WIN32)
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    if (reason == DLL_PROCESS_DETACH) {
        // The I/O service is destroyed after this, still under the loader lock,
        // and joins its timer thread. That thread cannot end while we hold the
        // lock, so FreeLibrary would hang: Asio's own switch for this case ends
        // the thread instead, once it has left its work.
        boost::asio::detail::thread::set_terminate_threads(true);
    }
    return TRUE;
}
#endif

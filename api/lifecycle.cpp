// InitInternal, DeInitInternal, CheckConnection, and the library's load hook.
#include "api/QuorvellanAPI.h"

#include <memory>

#include "api/export_support.hpp"
#include "messages/handshake.hpp"
#include "messages/protocol.hpp"
#include "session/io_service.hpp"

#if defined(_WIN32)
#include <windows.h>

#include <boost/asio/detail/thread.hpp>
#endif

namespace quorvellan {

namespace {

// Set once by the first InitInternal and kept for the life of the process.
ControllerSession* sessionPointer = nullptr;

HandshakeStatus RunHandshake(ControllerSession& session, const HandshakeVariant& variant) {
    session.SetSenderHeader(protocol::kApiSenderName);
    return CheckHandshakeReply(session.Exchange(), variant);
}

HandshakeStatus ConnectAndHandshake(bool local) {
    if (!sessionPointer) sessionPointer = new ControllerSession();
    // A previous DeInitInternal stopped the service: start it again.
    boost::asio::io_context& ioService = LibraryIoService();
    if (ioService.stopped()) ioService.restart();

    sessionPointer->Connect(local);
    return RunHandshake(*sessionPointer, local ? kLocalHandshake : kRemoteHandshake);
}

}  // namespace

ControllerSession* CurrentSession() noexcept { return sessionPointer; }

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
    if (CurrentSession()) LibraryIoService().stop();
    return 1;
}

QUORVELLAN_API int QUORVELLAN_CALL CheckConnection(void) {
    const ControllerSession* session = CurrentSession();
    return session && session->IsConnected() ? 1 : 0;
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

// What every entry point shares: the one session, and the guard that keeps
// exceptions from crossing into the application.
#pragma once

#include <mutex>
#include <utility>

#include "session/ControllerSession.hpp"
#include "session/io_service.hpp"

namespace quorvellan {

// The process-wide session, or nullptr before the first InitInternal.
ControllerSession* CurrentSession() noexcept;

// Held by every entry point that uses the session. The application calls from
// one thread at a time; the lock is for DeInitInternal, which may come from
// another thread to end a call in progress.
std::mutex& SessionMutex() noexcept;

// Runs body(session) when a session exists; returns fallback when none does,
// when the library is being torn down, or when body raises anything at all.
template <typename Result, typename Body>
Result WithSession(Result fallback, Body&& body) noexcept {
    try {
        if (LibraryTornDown()) return fallback;
        std::lock_guard<std::mutex> lock(SessionMutex());
        if (ControllerSession* session = CurrentSession()) return std::forward<Body>(body)(*session);
    } catch (...) {
    }
    return fallback;
}

// The same for commands, which return nothing.
template <typename Body>
void WithSession(Body&& body) noexcept {
    WithSession(0, [&](ControllerSession& session) {
        std::forward<Body>(body)(session);
        return 0;
    });
}

}  // namespace quorvellan

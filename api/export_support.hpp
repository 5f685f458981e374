// What every entry point shares: the one session, and the guard that keeps
// exceptions from crossing into the application.
#pragma once

#include <utility>

#include "session/ControllerSession.hpp"

namespace quorvellan {

// The process-wide session, or nullptr before the first InitInternal.
ControllerSession* CurrentSession() noexcept;

// Runs body(session) when a session exists; returns fallback when none does or
// when body raises anything at all.
template <typename Result, typename Body>
Result WithSession(Result fallback, Body&& body) noexcept {
    try {
        if (ControllerSession* session = CurrentSession()) return std::forward<Body>(body)(*session);
    } catch (...) {
    }
    return fallback;
}

// The same for commands, which return nothing.
template <typename Body>
void WithSession(Body&& body) noexcept {
    try {
        if (ControllerSession* session = CurrentSession()) std::forward<Body>(body)(*session);
    } catch (...) {
    }
}

}  // namespace quorvellan

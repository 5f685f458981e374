// The stream's entry points as pointers, for a program that reaches them
// through a loaded library rather than by linking it (on Windows, a layer
// loaded from a folder off the DLL search path, and the tests that load
// QuorvellanStream.dll themselves). Header only, on QuorvellanStream.h alone.
#pragma once

#include <string>
#include <type_traits>

#include "QuorvellanStream.h"

#if defined(_WIN32)
#  include <windows.h>
#endif

namespace quorvellan::stream {

// X(member, exported function): every entry point the table holds, once.
#define QUORVELLAN_STREAM_ENTRY_POINTS(X)             \
    X(start, QuorvellanStreamStart)                   \
    X(stop, QuorvellanStreamStop)                     \
    X(latest, QuorvellanStreamLatest)                 \
    X(clockNs, QuorvellanStreamClockNs)               \
    X(errorText, QuorvellanStreamErrorText)           \
    X(setUserPosition, QuorvellanStreamSetUserPosition) \
    X(setUserRotation, QuorvellanStreamSetUserRotation)

struct EntryPoints {
#define QUORVELLAN_STREAM_MEMBER(member, function) decltype(&function) member = nullptr;
    QUORVELLAN_STREAM_ENTRY_POINTS(QUORVELLAN_STREAM_MEMBER)
#undef QUORVELLAN_STREAM_MEMBER
};

#if defined(_WIN32)

// Looks every entry point up in `module`; returns the names it lacks,
// separated by spaces (empty when it has them all).
inline std::string lookUpEntryPoints(HMODULE module, EntryPoints& entry) {
    std::string missing;
    auto lookUp = [&](const char* name, auto& pointer) {
        pointer = reinterpret_cast<std::remove_reference_t<decltype(pointer)>>(
            reinterpret_cast<void*>(GetProcAddress(module, name)));
        if (!pointer) missing += missing.empty() ? name : std::string(" ") + name;
    };
#define QUORVELLAN_STREAM_LOOK_UP(member, function) lookUp(#function, entry.member);
    QUORVELLAN_STREAM_ENTRY_POINTS(QUORVELLAN_STREAM_LOOK_UP)
#undef QUORVELLAN_STREAM_LOOK_UP
    return missing;
}

#else

// The entry points of the stream this program links.
inline EntryPoints linkedEntryPoints() {
    EntryPoints entry;
#define QUORVELLAN_STREAM_LINKED(member, function) entry.member = function;
    QUORVELLAN_STREAM_ENTRY_POINTS(QUORVELLAN_STREAM_LINKED)
#undef QUORVELLAN_STREAM_LINKED
    return entry;
}

#endif

}  // namespace quorvellan::stream

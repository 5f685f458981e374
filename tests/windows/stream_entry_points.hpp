// The stream's entry points, looked up in a loaded QuorvellanStream.dll by a
// program that links neither DLL.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include "stream/QuorvellanStream.h"

namespace quorvellan::testing {

struct StreamEntryPoints {
    decltype(&QuorvellanStreamStart) start = nullptr;
    decltype(&QuorvellanStreamStop) stop = nullptr;
    decltype(&QuorvellanStreamLatest) latest = nullptr;
    decltype(&QuorvellanStreamErrorText) errorText = nullptr;
};

template <typename Function>
void Resolve(HMODULE module, const char* name, Function& function) {
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    ASSERT_NE(function, nullptr) << name << " is not exported";
}

inline StreamEntryPoints ResolveStream(HMODULE module) {
    StreamEntryPoints entry;
    Resolve(module, "QuorvellanStreamStart", entry.start);
    Resolve(module, "QuorvellanStreamStop", entry.stop);
    Resolve(module, "QuorvellanStreamLatest", entry.latest);
    Resolve(module, "QuorvellanStreamErrorText", entry.errorText);
    return entry;
}

}  // namespace quorvellan::testing

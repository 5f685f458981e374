// The stream's entry points, looked up in a loaded QuorvellanStream.dll by a
// program that links neither DLL.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include "stream/stream_entry_points.hpp"

namespace quorvellan::testing {

using StreamEntryPoints = quorvellan::stream::EntryPoints;

inline StreamEntryPoints ResolveStream(HMODULE module) {
    StreamEntryPoints entry;
    EXPECT_EQ(quorvellan::stream::lookUpEntryPoints(module, entry), "") << "not exported";
    return entry;
}

}  // namespace quorvellan::testing

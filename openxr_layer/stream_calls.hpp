// The stream's entry points as the layer reaches them.
//
// Linux: linked; the layer's RUNPATH ($ORIGIN) finds libQuorvellanStream
// beside it. Windows: the OpenXR loader loads the layer by full path from a
// folder that is not on the DLL search path, where an import of
// QuorvellanStream.dll would not be found, so the layer loads the stream from
// its own folder at the first instance (the stream then finds the core
// beside itself).
#pragma once

#include <string>

#include "stream_entry_points.hpp"

namespace quorvellan::openxr {

using StreamCalls = stream::EntryPoints;

// The entry points, or null with the reason in `error`. Loaded once.
const StreamCalls* streamCalls(std::string& error);

}  // namespace quorvellan::openxr

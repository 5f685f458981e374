// Finding QuorvellanAPI.dll beside QuorvellanStream.dll. On Windows the
// stream imports the core delay-loaded: a host that loads plugins by full path
// from a folder off the DLL search path (Unity's Assets/Plugins/x86_64) could
// not load the stream through an ordinary import, since the loader does not
// look in the stream's own folder. The core is loaded on the first call into
// it: the one the application already loaded, else the file beside the
// stream, else the DLL search path. Elsewhere the stream links the core
// directly (RUNPATH $ORIGIN), and this does nothing.
#pragma once

#include "api/QuorvellanAPI.h"

namespace quorvellan::stream {

// The core's commands that take doubles. On Windows they are called through
// pointers bound by LoadCore, never through the delay-load thunk, which keeps
// the integer argument registers but not the floating-point ones: a first
// call through it would reach the core with its numbers lost.
struct CoreCommands {
    decltype(&SetUserPosition) setUserPosition = &SetUserPosition;
    decltype(&SetUserRotation) setUserRotation = &SetUserRotation;
    decltype(&SetManualSpeeds) setManualSpeeds = &SetManualSpeeds;
};

// Valid once LoadCore has returned true.
const CoreCommands& BoundCoreCommands();

// True when the core is loaded or could be loaded now; on Windows this loads
// it, before the poll thread's first call needs it (a delay-load that fails
// there would end the process).
bool LoadCore();

}  // namespace quorvellan::stream

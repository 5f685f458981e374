#include "stream/core_loader.hpp"

#if defined(_WIN32)
#include <windows.h>

#include <delayimp.h>

#include <string>

#include "stream/module_folder.hpp"

namespace {

// One the application loaded stays its own (it frees it with the stream, as
// with an ordinary import); one loaded here stays for the life of the process.
HMODULE FindCore(const char* name) {
    if (HMODULE loaded = GetModuleHandleA(name)) return loaded;
    const std::wstring beside = quorvellan::stream::ModuleFolder(reinterpret_cast<const void*>(&FindCore)) +
                                std::wstring(name, name + std::char_traits<char>::length(name));
    if (HMODULE core = LoadLibraryExW(beside.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)) return core;
    return LoadLibraryA(name);
}

// Asked by the delay-load helper before it loads a DLL itself.
FARPROC WINAPI BeforeDelayLoad(unsigned notification, PDelayLoadInfo info) {
    if (notification != dliNotePreLoadLibrary) return nullptr;
    return reinterpret_cast<FARPROC>(FindCore(info->szDll));
}

}  // namespace

extern "C" {
PfnDliHook __pfnDliNotifyHook2 = BeforeDelayLoad;
}

namespace quorvellan::stream {

namespace {

CoreCommands bound;

template <typename Function>
bool Bind(HMODULE core, const char* name, Function& function) {
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(core, name)));
    return function != nullptr;
}

}  // namespace

bool LoadCore() {
    HMODULE core = FindCore(QUORVELLAN_CORE_DLL);
    return core && Bind(core, "SetUserPosition", bound.setUserPosition) &&
           Bind(core, "SetUserRotation", bound.setUserRotation) && Bind(core, "SetManualSpeeds", bound.setManualSpeeds);
}

const CoreCommands& BoundCoreCommands() { return bound; }

}  // namespace quorvellan::stream

#else

namespace quorvellan::stream {

bool LoadCore() { return true; }

const CoreCommands& BoundCoreCommands() {
    static const CoreCommands direct;
    return direct;
}

}  // namespace quorvellan::stream

#endif

#include "stream/core_loader.hpp"

#if defined(_WIN32)
#include <windows.h>

#include <delayimp.h>

#include <string>

namespace {

// The folder this DLL was loaded from, with a trailing separator.
std::wstring StreamFolder() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&StreamFolder), &self)) {
        return {};
    }
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(self, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

// One the application loaded stays its own (it frees it with the stream, as
// with an ordinary import); one loaded here stays for the life of the process.
HMODULE FindCore(const char* name) {
    if (HMODULE loaded = GetModuleHandleA(name)) return loaded;
    const std::wstring beside = StreamFolder() + std::wstring(name, name + std::char_traits<char>::length(name));
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

#include "stream_calls.hpp"

#if defined(_WIN32)
#  include <windows.h>
#endif

namespace quorvellan::openxr {

#if !defined(_WIN32)

const StreamCalls* streamCalls(std::string&) {
    static const StreamCalls linked = stream::linkedEntryPoints();
    return &linked;
}

#else

namespace {

// The folder of the module holding this code (the layer's DLL), with a
// trailing backslash; empty when it cannot be told.
std::wstring ownFolder() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&ownFolder), &self)) {
        return L"";
    }
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(self, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return L"";
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

StreamCalls load(std::string& error) {
    StreamCalls calls;
    std::wstring path = ownFolder() + L"QuorvellanStream.dll";
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module) {
        error = "QuorvellanStream.dll not found beside the layer (Windows error " + std::to_string(GetLastError()) + ")";
        return calls;
    }
    const std::string missing = stream::lookUpEntryPoints(module, calls);
    if (!missing.empty()) {
        error = "QuorvellanStream.dll beside the layer lacks entry points (an older version?): " + missing;
        calls.start = nullptr;
    }
    return calls;
}

}  // namespace

const StreamCalls* streamCalls(std::string& error) {
    // Loaded once and kept for the process: a layer may be unloaded while a
    // stream thread of an earlier instance is still ending.
    static std::string loadError;
    static const StreamCalls loaded = load(loadError);
    error = loadError;
    return loaded.start ? &loaded : nullptr;
}

#endif

}  // namespace quorvellan::openxr

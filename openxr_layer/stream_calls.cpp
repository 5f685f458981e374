#include "stream_calls.hpp"

#if defined(_WIN32)
#  include <windows.h>

#  include "module_folder.hpp"
#endif

namespace quorvellan::openxr {

#if !defined(_WIN32)

const StreamCalls* streamCalls(std::string&) {
    static const StreamCalls linked = stream::linkedEntryPoints();
    return &linked;
}

#else

namespace {

StreamCalls load(std::string& error) {
    StreamCalls calls;
    // The layer's own folder: `load` is a function of the layer's DLL.
    const std::wstring path =
        stream::ModuleFolder(reinterpret_cast<const void*>(&load)) + L"QuorvellanStream.dll";
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

// Windows: the folder a module (a DLL, or the program) was loaded from, for
// loading the DLLs that ship beside it. Header-only, so that the stream and
// the OpenXR layer each compile it into their own DLL.
#pragma once

#if defined(_WIN32)
#include <windows.h>

#include <string>

namespace quorvellan::stream {

// The folder of the module holding `code` (the address of a function of the
// caller's own module), with a trailing separator; empty when it cannot be
// told.
inline std::wstring ModuleFolder(const void* code) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(code), &module)) {
        return {};
    }
    // Paths may be longer than MAX_PATH: grow until the name fits.
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

}  // namespace quorvellan::stream

#endif

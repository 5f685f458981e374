// File names and environment values as UTF-8 text on every system.
// Windows keeps both as UTF-16; its narrow calls (getenv, fopen, _open)
// convert through the ANSI code page, which cannot spell every user's name:
// a profile folder such as C:\Users\Ωμέγα would never be found. On Windows
// these go through the wide calls instead. Header-only, so that the stream and
// the OpenXR layer each compile it into their own DLL.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN  // winsock2.h may follow
#endif
#include <windows.h>
#endif

namespace quorvellan::stream {

#if defined(_WIN32)
// `text` read in `codePage`; empty when it is not valid there.
inline std::wstring Widened(const std::string& text, UINT codePage, DWORD flags) {
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(codePage, flags, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) MultiByteToWideChar(codePage, flags, text.data(), size, wide.data(), length);
    return wide;
}

inline std::string Utf8Of(const std::wstring& wide) {
    if (wide.empty()) return {};
    const int size = static_cast<int>(wide.size());
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    if (length > 0) WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, text.data(), length, nullptr, nullptr);
    return text;
}
#endif

// The file named by UTF-8 `text`. On Windows a name that is not valid UTF-8
// is read in the ANSI code page, as callers built before names were UTF-8
// passed it (their non-ASCII bytes are rarely valid UTF-8).
inline std::filesystem::path PathFromUtf8(const std::string& text) {
#if defined(_WIN32)
    std::wstring wide = Widened(text, CP_UTF8, MB_ERR_INVALID_CHARS);
    if (wide.empty() && !text.empty()) wide = Widened(text, CP_ACP, 0);
    return std::filesystem::path(wide);
#else
    return std::filesystem::path(text);
#endif
}

// A path as UTF-8 text, for messages and for the functions above.
inline std::string Utf8Of(const std::filesystem::path& path) {
#if defined(_WIN32)
    return Utf8Of(path.native());
#else
    return path.native();
#endif
}

// The variable's value as UTF-8; "" when it is not set.
inline std::string EnvironmentValue(const char* name) {
#if defined(_WIN32)
    const wchar_t* value = _wgetenv(Widened(name, CP_UTF8, 0).c_str());
    return value ? Utf8Of(std::wstring(value)) : std::string();
#else
    const char* value = std::getenv(name);
    return value ? value : "";
#endif
}

// std::fopen for a UTF-8 name.
inline std::FILE* OpenFile(const std::string& path, const char* mode) {
#if defined(_WIN32)
    return _wfopen(PathFromUtf8(path).c_str(), Widened(mode, CP_UTF8, 0).c_str());
#else
    return std::fopen(path.c_str(), mode);
#endif
}

}  // namespace quorvellan::stream

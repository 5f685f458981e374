// An environment variable set for one scope of a test: the value it had
// (or its absence) comes back when the scope ends, so that a case leaves
// the process as it found it.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

#include "stream/utf8_paths.hpp"

namespace quorvellan::testing {

// Sets `name` to UTF-8 `value`, or removes it for nullptr. Through the C
// runtime, so that getenv in this process and in the libraries it loads sees
// it; on Windows through the wide call, as a user's environment holds names
// the ANSI code page cannot spell.
inline void SetVariable(const char* name, const char* value) {
#if defined(_WIN32)
    using quorvellan::stream::Widened;
    _wputenv_s(Widened(name, CP_UTF8, 0).c_str(), value ? Widened(value, CP_UTF8, 0).c_str() : L"");  // "" removes it
#else
    value ? setenv(name, value, 1) : unsetenv(name);
#endif
}

inline std::optional<std::string> VariableValue(const char* name) {
#if defined(_WIN32)
    if (!_wgetenv(quorvellan::stream::Widened(name, CP_UTF8, 0).c_str())) return std::nullopt;
    return quorvellan::stream::EnvironmentValue(name);
#else
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
#endif
}

class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : name_(name), old_(VariableValue(name)) {
        SetVariable(name, value);
    }
    ScopedVariable(const char* name, const std::string& value) : ScopedVariable(name, value.c_str()) {}
    ~ScopedVariable() { SetVariable(name_.c_str(), old_ ? old_->c_str() : nullptr); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

}  // namespace quorvellan::testing

// An environment variable set for one scope of a test: the value it had
// (or its absence) comes back when the scope ends, so that a case leaves
// the process as it found it.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace quorvellan::testing {

// Sets `name` to `value`, or removes it for nullptr. Through the C runtime,
// so that getenv in this process and in the libraries it loads sees it.
inline void SetVariable(const char* name, const char* value) {
#if defined(_WIN32)
    _putenv_s(name, value ? value : "");  // "" removes it
#else
    value ? setenv(name, value, 1) : unsetenv(name);
#endif
}

class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
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

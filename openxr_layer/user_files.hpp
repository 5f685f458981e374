// Where the layer's per-user files are: a variable naming the file, else a
// name in the user's folder for its kind (Windows: %APPDATA% or
// %LOCALAPPDATA%; Linux: the XDG base directories). Paths are UTF-8 text
// (stream/utf8_paths.hpp opens them on every system).
#pragma once

#include <string>

namespace quorvellan::openxr {

struct UserFile {
    const char* variable;       // names the file itself when set
    const char* windowsFolder;  // the variable holding the Windows folder
    const char* xdgFolder;      // the XDG variable holding the Linux folder
    const char* xdgDefault;     // the XDG folder's default under $HOME
    const char* name;           // the file's name under <folder>/quorvellan
};

// $variable, else the per-user path; "" when no variable names a home.
std::string userFilePath(const UserFile& file);

}  // namespace quorvellan::openxr

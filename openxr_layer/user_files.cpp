#include "user_files.hpp"

#include "utf8_paths.hpp"

namespace quorvellan::openxr {

std::string userFilePath(const UserFile& file) {
    using quorvellan::stream::EnvironmentValue;
    std::string explicitPath = EnvironmentValue(file.variable);
    if (!explicitPath.empty()) return explicitPath;
#if defined(_WIN32)
    std::string folder = EnvironmentValue(file.windowsFolder);
    return folder.empty() ? "" : folder + "\\Quorvellan\\" + file.name;
#else
    std::string folder = EnvironmentValue(file.xdgFolder);
    if (folder.empty()) {
        std::string home = EnvironmentValue("HOME");
        if (home.empty()) return "";
        folder = home + "/" + file.xdgDefault;
    }
    return folder + "/quorvellan/" + file.name;
#endif
}

}  // namespace quorvellan::openxr

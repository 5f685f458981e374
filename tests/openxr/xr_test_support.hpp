// What the OpenXR test programs share: zeroed structures of a type, and the
// headless instance a game without a display creates.
#pragma once

#include <cstdio>

#include <openxr/openxr.h>

namespace quorvellan::xr_test {

// A zeroed OpenXR structure of the given type.
template <typename Structure>
Structure Typed(XrStructureType type) {
    Structure structure{};
    structure.type = type;
    return structure;
}

// The create info of an instance with XR_MND_headless for the named application.
inline XrInstanceCreateInfo HeadlessInstanceInfo(const char* applicationName) {
    static const char* const extensions[] = {XR_MND_HEADLESS_EXTENSION_NAME};
    auto info = Typed<XrInstanceCreateInfo>(XR_TYPE_INSTANCE_CREATE_INFO);
    std::snprintf(info.applicationInfo.applicationName, sizeof info.applicationInfo.applicationName, "%s",
                  applicationName);
    info.applicationInfo.apiVersion = XR_CURRENT_API_VERSION;
    info.enabledExtensionCount = 1;
    info.enabledExtensionNames = extensions;
    return info;
}

}  // namespace quorvellan::xr_test

// The layer's messages: one line each, prefixed "quorvellan-openxr: ", to
// stderr and, when $QUORVELLAN_XR_LOG names a file, appended to it.
#pragma once

#include <string>

namespace quorvellan::openxr {

void logLine(const std::string& message) noexcept;

}  // namespace quorvellan::openxr

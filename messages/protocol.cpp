#include "messages/protocol.hpp"

namespace quorvellan::protocol {

nlohmann::json FullSenderHeader(const std::string& name, int major, int minor, int build) {
    nlohmann::json version = {{key::kMajor, major}, {key::kMinor, minor}, {key::kBuild, build}};
    return {{key::kSender, {{key::kName, name}, {key::kVersion, std::move(version)}}}};
}

nlohmann::json ShortSenderHeader(const std::string& name, int major, int minor) {
    nlohmann::json version = {{key::kMajor, major}, {key::kMinor, minor}};
    return {{key::kSender, {{key::kName, name}, {key::kVersion, std::move(version)}}}};
}

}  // namespace quorvellan::protocol

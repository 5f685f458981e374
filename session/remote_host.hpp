#pragma once

namespace quorvellan {

// The controller's host name on the local network, fixed when the library is
// built (the QUORVELLAN_REMOTE_HOST build setting).
const char* RemoteControllerHost();

}  // namespace quorvellan

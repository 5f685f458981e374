#pragma once

#include "session/controller_address.hpp"

namespace quorvellan {

// The controller's host name on the local network, fixed when the library is
// built (the QUORVELLAN_REMOTE_HOST build setting).
const char* RemoteControllerHost();

// Where InitInternal(local) connects unless told otherwise: localhost or the
// network host, port 6158.
ControllerAddress DefaultControllerAddress(bool local);

}  // namespace quorvellan

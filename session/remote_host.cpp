#include "session/remote_host.hpp"

#include "messages/protocol.hpp"

#ifndef QUORVELLAN_REMOTE_HOST
#define QUORVELLAN_REMOTE_HOST "quorvellan-controller.local"
#endif

namespace quorvellan {

const char* RemoteControllerHost() { return QUORVELLAN_REMOTE_HOST; }

ControllerAddress DefaultControllerAddress(bool local) {
    return ControllerAddress{local ? protocol::kLocalHost : RemoteControllerHost(), protocol::kPort};
}

}  // namespace quorvellan

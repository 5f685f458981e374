#include "session/remote_host.hpp"

#ifndef QUORVELLAN_REMOTE_HOST
#define QUORVELLAN_REMOTE_HOST "quorvellan-controller.local"
#endif

namespace quorvellan {

const char* RemoteControllerHost() { return QUORVELLAN_REMOTE_HOST; }

}  // namespace quorvellan

// The words for a sample's state: recordings, the monitor's views and its
// metrics' labels all write these, and readers match them byte for byte.
// Inline, so that the tools share it without the stream exporting it.
#pragma once

#include <cstdint>

#include "stream/QuorvellanStream.h"

namespace quorvellan::stream {

inline const char* StateName(std::int32_t state) {
    switch (state) {
        case QUORVELLAN_STREAM_CONNECTING: return "connecting";
        case QUORVELLAN_STREAM_CONNECTED: return "connected";
        case QUORVELLAN_STREAM_LOST: return "lost";
        case QUORVELLAN_STREAM_CONTROLLER_TOO_OLD: return "controller too old";
        case QUORVELLAN_STREAM_WRONG_CONTROLLER: return "wrong controller";
        default: return "stopped";
    }
}

}  // namespace quorvellan::stream

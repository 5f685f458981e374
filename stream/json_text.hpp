// JSON text of values that hold the controller's words (its serial number).
// They come through fixed-size C fields, where a cut (by this stream, or by
// another build of it a tool runs with) may end inside a character; a strict
// dump would then throw where nothing catches it (the poll thread, a tool's
// output loop) and end the program. Bytes that are not UTF-8 come out as
// U+FFFD instead.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace quorvellan::stream {

inline std::string JsonText(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace quorvellan::stream

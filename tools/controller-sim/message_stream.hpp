// The library sends compact JSON objects back to back, with no delimiter:
// this cuts the byte stream into complete objects.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quorvellan::sim {

class MessageStream {
public:
    // A peer that sends more than this without ever closing an object is not
    // speaking the protocol.
    static constexpr std::size_t kMaxPending = 64 * 1024;

    // Adds received bytes and returns every object completed by them. Bytes
    // outside any object (blanks, stray text) are dropped.
    std::vector<std::string> Append(std::string_view bytes);

    // True once the incomplete tail has grown beyond kMaxPending.
    bool Overflowed() const { return current.size() > kMaxPending; }

private:
    void Consume(char c, std::vector<std::string>& complete);

    std::string current;  // the object being received
    int depth = 0;
    bool inString = false;
    bool escaped = false;
};

}  // namespace quorvellan::sim

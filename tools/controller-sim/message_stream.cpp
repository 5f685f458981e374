#include "tools/controller-sim/message_stream.hpp"

namespace quorvellan::sim {

std::vector<std::string> MessageStream::Append(std::string_view bytes) {
    std::vector<std::string> complete;
    for (char c : bytes) Consume(c, complete);
    return complete;
}

// Tracks nesting outside strings; a message ends where its outermost object
// closes.
void MessageStream::Consume(char c, std::vector<std::string>& complete) {
    if (depth == 0 && c != '{') return;
    current.push_back(c);
    if (inString) {
        if (escaped) escaped = false;
        else if (c == '\\') escaped = true;
        else if (c == '"') inString = false;
        return;
    }
    if (c == '"') inString = true;
    else if (c == '{' || c == '[') ++depth;
    else if ((c == '}' || c == ']') && --depth == 0) {
        complete.push_back(std::move(current));
        current.clear();
    }
}

}  // namespace quorvellan::sim

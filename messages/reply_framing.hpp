// Where a reply ends. The protocol has no delimiter: a reply is one JSON value,
// so the bytes received so far either hold it whole, could still grow into it,
// or cannot be one reply at all. Text in, verdict out: no sockets here.
#pragma once

#include <string_view>

namespace quorvellan {

enum class ReplyFraming {
    Incomplete,  // more bytes could still complete the reply: keep reading
    Complete,    // one value, then at most white space or zero-byte padding
    Broken,      // not one reply: where it ends, and so where the next begins, is unknown
};

// The verdict on the bytes one exchange has received so far. A zero byte ends
// the reply (replies may be zero-padded); a value followed by anything else,
// text that is not JSON, and a bare number that more digits could still extend
// are not trusted as a whole reply. `readableAfter`: initialized bytes of the
// same buffer after `received`, which the fast parser may read past the end
// (not part of the verdict).
ReplyFraming FrameReply(std::string_view received, std::size_t readableAfter = 0);
// The same verdict, always reached by scanning the text (the fast parser
// skipped): what FrameReply's answers are checked against.
ReplyFraming FrameReplyByScan(std::string_view received);

// True when the text is a proper prefix of a JSON value: more bytes could still
// make it parse. A text holding a zero byte is never incomplete, since the zero
// byte ends the input.
bool IsIncompleteJson(std::string_view text);

}  // namespace quorvellan

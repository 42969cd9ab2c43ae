#include "rules/token_framer.h"

#include "rules/bootloader_protocol.h"

#include <algorithm>
#include <cstring>

namespace
{

constexpr int mark_bytes = 3; // "#B_"

// Where a token may begin: "#B_" itself, or the start of it at the very end of what arrived so far.
int first_possible_token(const QByteArray& bytes)
{
    for (int at = bytes.indexOf('#'); at >= 0; at = bytes.indexOf('#', at + 1)) {
        const int compared = std::min(bytes.size() - at, mark_bytes);
        if (std::memcmp(bytes.constData() + at, bootloader_protocol::token_mark, static_cast<size_t>(compared)) == 0)
            return at;
    }
    return -1;
}

} // namespace

bool TokenFramer::next(Frame* frame)
{
    const int start = first_possible_token(pending);
    const int token_bytes = bootloader_protocol::token_bytes;
    if (start == 0) {
        if (pending.size() < token_bytes)
            return false;
        *frame = {false, pending.left(token_bytes)};
        pending.remove(0, token_bytes);
        return true;
    }
    if (pending.size() < token_bytes)
        return false;
    const int noise = start < 0 ? pending.size() : start;
    *frame = {true, pending.left(noise)};
    pending.remove(0, noise);
    return true;
}

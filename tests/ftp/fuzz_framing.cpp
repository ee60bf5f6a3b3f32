// SPDX-License-Identifier: ISC
// Reply framing with a carried remainder: the replies taken out of a control
// stream must not depend on how the stream was cut into reads.  The first
// byte of the input picks the cuts; the rest is the stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ftp/control.h"

using namespace kestrel;

namespace {
bool digit(char c) { return c >= '0' && c <= '9'; }

// Frames the stream handed over in pieces of at most step bytes (each piece
// also no larger than the room left, as a read would be).
std::vector<std::string> frame(const uint8_t* p, size_t n, bool whole, uint32_t seed) {
    static ftp_carry c;
    c = ftp_carry{};
    ftp_reply_buf buf;
    std::vector<std::string> replies;
    while (n > 0) {
        seed = seed * 1103515245u + 12345u;
        size_t step = whole ? n : 1 + (seed >> 16) % 97;
        size_t room = sizeof c.data - c.fill;
        if (room == 0) std::abort();  // a full carry must have been framed
        size_t k = n < step ? n : step;
        if (k > room) k = room;
        std::memcpy(c.data + c.fill, p, k);
        c.fill += k;
        p += k;
        n -= k;
        while (char* r = ftp_next_reply(c, buf)) {
            size_t len = std::strlen(r);
            if (r != buf || len >= sizeof buf) std::abort();
            // A final line starts with a digit (a NUL may end the text early).
            if (!digit(r[0])) std::abort();
            replies.emplace_back(r, len);
        }
        if (c.fill >= sizeof c.data) std::abort();
    }
    if (char* r = ftp_last_reply(c, buf)) replies.emplace_back(r);
    return replies;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::vector<std::string> whole = frame(data + 1, size - 1, true, 0);
    std::vector<std::string> cut = frame(data + 1, size - 1, false, data[0]);
    if (whole != cut) std::abort();
    return 0;
}

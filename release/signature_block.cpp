// SPDX-License-Identifier: ISC
#include "release/signature_block.h"

#include <cstring>
#include <string_view>

namespace kestrel {

namespace {

constexpr std::string_view section_line = "[Signatures]";

// Offset of the first line that is exactly "[Signatures]" (LF or CR LF
// ended), and of the line after it; false when there is none.
bool find_section(const char* text, std::size_t len, std::size_t& at, std::size_t& after) {
    for (std::size_t start = 0; start < len;) {
        const char* nl = static_cast<const char*>(std::memchr(text + start, '\n', len - start));
        std::size_t end = nl ? static_cast<std::size_t>(nl - text) : len;
        std::string_view line(text + start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line == section_line && nl) {
            at = start;
            after = end + 1;
            return true;
        }
        start = end + 1;
    }
    return false;
}

// Length of the line at p (with its '\n'), 0 when it does not end.
std::size_t line_length(const char* p, std::size_t left) {
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', left));
    return nl ? static_cast<std::size_t>(nl - p) + 1 : 0;
}

}  // namespace

signatures_read read_signature_block(const char* text, std::size_t len, signature_block& block) {
    block.signed_length = len;
    block.count = 0;
    std::size_t at = 0;
    std::size_t pos = 0;
    if (!find_section(text, len, at, pos)) return signatures_read::none;
    block.signed_length = at;
    while (pos < len) {
        std::size_t first = line_length(text + pos, len - pos);
        std::size_t second = first ? line_length(text + pos + first, len - pos - first) : 0;
        if (!second) return signatures_read::malformed;
        if (block.count == max_signatures) return signatures_read::too_many;
        signature_entry& e = block.entries[block.count];
        e.offset = pos;
        e.length = first + second;
        if (!fingerprint_of(text + pos, e.length, e.key) || !signature_text_ok(text + pos, e.length))
            return signatures_read::malformed;
        ++block.count;
        pos += e.length;
    }
    return signatures_read::ok;
}

}  // namespace kestrel

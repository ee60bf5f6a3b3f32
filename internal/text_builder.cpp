// SPDX-License-Identifier: ISC
#include "internal/text_builder.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace kestrel {

text_builder::text_builder(char* b, std::size_t n) : buf(b), size(n) {
    if (size > 0)
        buf[0] = '\0';
    else
        truncated = true;
}

text_builder& text_builder::raw(std::string_view s) {
    wanted += s.size();
    if (size == 0) return *this;
    std::size_t room = size - 1 - len;
    std::size_t n = s.size() < room ? s.size() : room;
    std::memcpy(buf + len, s.data(), n);
    len += n;
    buf[len] = '\0';
    if (n < s.size()) truncated = true;
    return *this;
}

text_builder& text_builder::quoted(std::string_view s) {
    raw("'");
    // Plain pointer arithmetic: substr() would drag libstdc++'s exception
    // support into binaries that otherwise need none.
    const char* run = s.data();
    const char* end = s.data() + s.size();
    for (const char* p = run; p < end; ++p) {
        if (*p == '\'') {
            raw(std::string_view(run, static_cast<std::size_t>(p - run)));
            raw("'\\''");
            run = p + 1;
        }
    }
    raw(std::string_view(run, static_cast<std::size_t>(end - run)));
    return raw("'");
}

text_builder& text_builder::raw(const char* s) { return raw(std::string_view(s)); }

text_builder& text_builder::quoted(const char* s) { return quoted(std::string_view(s)); }

text_builder& text_builder::printf(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    char none[1];
    // With no room left vsnprintf still measures the text.
    int n = size > len ? std::vsnprintf(buf + len, size - len, fmt, ap) : std::vsnprintf(none, 0, fmt, ap);
    va_end(ap);
    if (n > 0) wanted += static_cast<std::size_t>(n);
    if (size == 0) {
        truncated = true;
        return *this;
    }
    if (n < 0) {
        buf[len] = '\0';
        truncated = true;
    } else if (static_cast<std::size_t>(n) >= size - len) {
        len = size - 1;
        truncated = true;
    } else {
        len += static_cast<std::size_t>(n);
    }
    return *this;
}

bool bounded_format(char* dst, std::size_t size, const char* fmt, ...) {
    if (size == 0) return false;
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(dst, size, fmt, ap);
    va_end(ap);
    if (n < 0) {
        dst[0] = '\0';
        return false;
    }
    return static_cast<std::size_t>(n) < size;
}

bool bounded_copy(char* dst, std::size_t size, std::string_view src) {
    return text_builder(dst, size).raw(src).ok();
}

bool bounded_copy(char* dst, std::size_t size, const char* src) { return bounded_copy(dst, size, std::string_view(src)); }

}  // namespace kestrel

// SPDX-License-Identifier: ISC
// Bounded text composition into caller-owned fixed buffers.
#pragma once

#include <cstddef>
#include <string_view>

namespace kestrel {

// Appends into a fixed buffer, always NUL-terminated, and remembers whether
// anything had to be cut.  Command lines must be refused when truncated, so
// callers check ok() before using the text.
struct text_builder {
    char* buf;
    std::size_t size;
    std::size_t len = 0;
    std::size_t wanted = 0;  // length the whole text would have had
    bool truncated = false;

    text_builder(char* b, std::size_t n);
    template <std::size_t N>
    explicit text_builder(char (&b)[N]) : text_builder(b, N) {}

    text_builder& raw(std::string_view s);
    // Appends s as one literal word for /bin/sh: single-quoted, with each
    // embedded quote written as '\''.
    text_builder& quoted(std::string_view s);
    // For C strings: measured here, not at each of the many callers.
    text_builder& raw(const char* s);
    text_builder& quoted(const char* s);
    text_builder& printf(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    bool ok() const { return !truncated; }
    const char* c_str() const { return buf; }
};

// snprintf that tells whether the whole text fitted (the buffer then holds a
// cut, NUL-terminated prefix).
bool bounded_format(char* dst, std::size_t size, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

// Copies at most size-1 bytes of src and terminates; true when nothing was cut.
bool bounded_copy(char* dst, std::size_t size, std::string_view src);
bool bounded_copy(char* dst, std::size_t size, const char* src);

}  // namespace kestrel

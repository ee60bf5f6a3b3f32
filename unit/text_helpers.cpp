// SPDX-License-Identifier: ISC
#include <kestrel/text.h>

#include <cstring>

#include "internal/text_builder.h"

using namespace kestrel;

namespace {
constexpr std::size_t text_size = 512;
}  // namespace

char* del_comma_str(const char* str) {
    static char work[text_size];
    static char result[text_size];
    work[0] = '\0';
    result[0] = '\0';
    if (!str) return result;
    bounded_copy(work, sizeof work, str);
    std::size_t n = 0;
    for (const char* p = work; *p; ++p)
        if (*p != ',') result[n++] = *p;
    result[n] = '\0';
    return result;
}

char* string_tail_linebreak_strip(const char* string_value) {
    static char result[text_size];
    result[0] = '\0';
    if (!string_value) return result;
    bounded_copy(result, sizeof result, string_value);
    result[std::strcspn(result, "\r\n")] = '\0';
    return result;
}

char* string_head_space_strip(const char* string_value) {
    static char result[text_size];
    result[0] = '\0';
    if (!string_value) return result;
    bounded_copy(result, sizeof result, string_value);
    // Drops exactly one character, blank or not; the NUL moves along.
    if (result[0]) std::memmove(result, result + 1, std::strlen(result));
    return result;
}

char* parse_parmetrs(char* str) {
    if (!str) return nullptr;
    char* save = nullptr;
    return strtok_r(str, "%", &save);
}

void get_data_from_string(const char* input, char* output, char symbol, int num, int size) {
    if (!input || !output || num < 1 || size < 1) return;
    const char* p = input;
    for (int field = 1; field < num; ++field) {
        while (*p && *p != symbol) ++p;
        if (!*p) return;  // fewer fields than num
        ++p;
    }
    for (int i = 0; i < size && p[i] && p[i] != symbol; ++i) output[i] = p[i];
}

// SPDX-License-Identifier: ISC
#include "release/signify_text.h"

#include <cstdio>
#include <cstring>
#include <string_view>

namespace kestrel {

namespace {

constexpr std::string_view comment_prefix = "untrusted comment: ";
// "Ed", an 8-byte key number and the 64-byte signature: 74 bytes, 100
// characters of base64 ending in one '='.
constexpr std::size_t signature_b64_len = 100;
// "Ed", an 8-byte key number and the 32-byte public key: 42 bytes, 56
// characters of base64 without padding.
constexpr std::size_t public_key_b64_len = 56;

int base64_value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// The comment line, then one line of b64_len base64 characters of an "Ed"
// record, ending in padding '=' characters, then nothing.
bool signify_text_ok(const char* text, std::size_t len, std::size_t b64_len, std::size_t padding) {
    if (len < comment_prefix.size() || std::memcmp(text, comment_prefix.data(), comment_prefix.size()) != 0)
        return false;
    const char* eol = static_cast<const char*>(std::memchr(text, '\n', len));
    if (!eol || std::memchr(text, '\0', static_cast<std::size_t>(eol - text))) return false;
    const char* b64 = eol + 1;
    if (static_cast<std::size_t>(text + len - b64) != b64_len + 1 || b64[b64_len] != '\n') return false;
    if (b64[0] != 'R' || b64[1] != 'W') return false;  // "Ed", the only algorithm
    for (std::size_t i = 0; i < b64_len; ++i)
        if (!(i < b64_len - padding ? base64_value(b64[i]) >= 0 : b64[i] == '=')) return false;
    return true;
}

}  // namespace

bool public_key_text_ok(const char* text, std::size_t len) {
    return signify_text_ok(text, len, public_key_b64_len, 0);
}

bool signature_text_ok(const char* text, std::size_t len) {
    return signify_text_ok(text, len, signature_b64_len, 1);
}

bool fingerprint_of(const char* text, std::size_t len, key_fingerprint& fp) {
    if (!public_key_text_ok(text, len) && !signature_text_ok(text, len)) return false;
    const char* b64 = static_cast<const char*>(std::memchr(text, '\n', len)) + 1;
    // 16 characters hold 12 bytes: "Ed" and the key number in bytes 2 to 9.
    unsigned char bytes[12];
    for (int group = 0; group < 4; ++group) {
        unsigned long v = 0;
        for (int i = 0; i < 4; ++i) v = v << 6 | static_cast<unsigned long>(base64_value(b64[group * 4 + i]));
        bytes[group * 3] = static_cast<unsigned char>(v >> 16);
        bytes[group * 3 + 1] = static_cast<unsigned char>(v >> 8);
        bytes[group * 3 + 2] = static_cast<unsigned char>(v);
    }
    unsigned long long number = 0;
    for (int i = 2; i < 10; ++i) number = number << 8 | bytes[i];
    std::snprintf(fp, sizeof fp, "%llx", number);
    return true;
}

}  // namespace kestrel

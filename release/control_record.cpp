// SPDX-License-Identifier: ISC
#include "release/control_record.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "internal/kol_log.h"
#include "internal/text_builder.h"
#include "internal/unique_fd.h"
#include "release/release_names.h"

namespace kestrel {

bool extract_value(const char* line, ctl_value& val) {
    const char* eq = std::strchr(line, '=');
    if (!eq) return true;
    const char* p = eq + 1;
    while (*p == ' ' || *p == '\t') ++p;
    return bounded_copy(val, sizeof val, std::string_view(p, std::strcspn(p, "\r\n")));
}

namespace {

bool is_line(const char* line, const char* text) {
    std::size_t n = std::strlen(text);
    return std::strncmp(line, text, n) == 0 && std::strspn(line + n, "\r\n") == std::strlen(line + n);
}

// The value of "key=value" at the line's start, without its line ending;
// null for another key.
const char* value_of(const char* line, const char* key, std::size_t& len) {
    std::size_t n = std::strlen(key);
    if (std::strncmp(line, key, n) != 0 || line[n] != '=') return nullptr;
    const char* p = line + n + 1;
    len = std::strcspn(p, "\r\n");
    return p;
}

// One text key of the [Release] section.
bool release_value(const char* line, const char* key, char* val, std::size_t size, bool& cut) {
    std::size_t len = 0;
    const char* p = value_of(line, key, len);
    if (!p) return false;
    if (!bounded_copy(val, size, std::string_view(p, len))) {
        val[0] = '\0';
        cut = true;
    }
    return true;
}

// One number of the [Release] section: 1 to 19 decimal digits.
bool release_number_value(const char* line, const char* key, release_number& num, bool& cut) {
    std::size_t len = 0;
    const char* p = value_of(line, key, len);
    if (!p) return false;
    num = {};
    num.present = decimal_value(p, len, num.value);
    if (!num.present) cut = true;
    return true;
}

void read_release_line(const char* line, control_record& rec) {
    bool cut = false;
    if (release_value(line, "rollout", rec.rollout, sizeof rec.rollout, cut)) {
        rec.has_rollout = true;
    } else if (release_value(line, "sha256", rec.sha256, sizeof rec.sha256, cut)) {
        if (!is_sha256_text(rec.sha256)) {
            rec.sha256[0] = '\0';
            cut = true;
        }
    } else {
        release_value(line, "module", rec.module, sizeof rec.module, cut) ||
            release_value(line, "path", rec.path, sizeof rec.path, cut) ||
            release_value(line, "payload", rec.payload, sizeof rec.payload, cut) ||
            release_number_value(line, "seq", rec.seq, cut) ||
            release_number_value(line, "issued", rec.issued, cut) ||
            release_number_value(line, "expires", rec.expires, cut);
    }
    if (cut) rec.release_cut = true;
}

}  // namespace

void read_control_record(const char* path, control_record& rec, const char* tag) {
    rec = control_record{};
    unique_file in(std::fopen(path, "r"));
    if (!in) return;
    enum { before, major, between, release } where = before;
    char line[512];
    while (std::fgets(line, sizeof line, in.get())) {
        if (where == before) {
            if (std::strstr(line, tag)) where = major;
            continue;
        }
        if (std::strchr(line, '[')) {
            // Only the first [Release] after the tag's section counts.
            if (where == release) break;
            where = is_line(line, "[Release]") ? release : between;
            if (where == release) rec.has_release = true;
            continue;
        }
        if (where == major) {
            if (std::strstr(line, "file")) {
                // A cut name would publish a wrong version, and record it: refused.
                if (!extract_value(line, rec.file)) {
                    KOL_LOG("file value over %zu characters", sizeof rec.file - 1);
                    rec.file[0] = '\0';
                }
            } else if (std::strstr(line, "md5")) {
                // Cut values are harmless here: only 32 md5 digits are compared
                // and the size is only logged.
                extract_value(line, rec.md5);
            } else if (std::strstr(line, "size")) {
                extract_value(line, rec.size);
            }
        } else if (where == release) {
            read_release_line(line, rec);
        }
    }
}

bool decimal_value(const char* text, std::size_t len, unsigned long long& value) {
    value = 0;
    if (len == 0 || len > 19 || std::strspn(text, "0123456789") < len) return false;
    for (std::size_t i = 0; i < len; ++i) value = value * 10 + static_cast<unsigned>(text[i] - '0');
    return true;
}

bool is_sha256_text(const char* text) {
    return std::strlen(text) == sha256_digits && std::strspn(text, "0123456789abcdef") == sha256_digits;
}

bool payload_digest_name(const char* sha256, digest_name& name) {
    if (!is_sha256_text(sha256)) return false;
    return bounded_format(name, sizeof name, "%s%.*s", digest_name_prefix, static_cast<int>(digest_name_digits),
                          sha256);
}

}  // namespace kestrel

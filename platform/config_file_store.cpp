// SPDX-License-Identifier: ISC
// File-backed configuration store: "key=value" lines, read afresh on each call.
#include <cstdio>
#include <cstring>

#include "build_config.h"
#include <kestrel/config.h>
#include "internal/unique_fd.h"

using namespace kestrel;

namespace {

char value_buf[1024];

// Skips the rest of a line that did not fit the read buffer.
void skip_rest_of_line(FILE* f) {
    int c;
    while ((c = std::fgetc(f)) != EOF && c != '\n') {
    }
}

// Looks the key up; the last line that sets it wins.  Values longer than the
// buffer are cut.
bool lookup(const char* key, char* out, std::size_t out_size) {
    out[0] = '\0';
    unique_file in(std::fopen(build_config::config_file, "r"));
    if (!in) return false;
    const std::size_t key_len = std::strlen(key);
    bool found = false;
    char line[1024];
    while (std::fgets(line, sizeof line, in.get())) {
        std::size_t len = std::strlen(line);
        bool whole = len > 0 && line[len - 1] == '\n';
        if (!whole && !std::feof(in.get())) skip_rest_of_line(in.get());
        if (line[0] == '#' || line[0] == '\n') continue;
        char* eq = std::strchr(line, '=');
        if (!eq) continue;
        if (static_cast<std::size_t>(eq - line) != key_len || std::strncmp(line, key, key_len) != 0)
            continue;
        char* value = eq + 1;
        value[std::strcspn(value, "\n")] = '\0';
        std::size_t vlen = std::strlen(value);
        if (vlen > 0 && value[vlen - 1] == '\r') value[vlen - 1] = '\0';
        std::snprintf(out, out_size, "%s", value);
        found = true;
    }
    return found;
}

}  // namespace

char* config_get(const char* key) {
    value_buf[0] = '\0';
    if (!key) return value_buf;
    lookup(key, value_buf, sizeof value_buf);
    return value_buf;
}

int config_match(const char* key, const char* value) {
    if (!key || !value) return 0;
    char current[sizeof value_buf];
    lookup(key, current, sizeof current);
    return std::strcmp(current, value) == 0;
}

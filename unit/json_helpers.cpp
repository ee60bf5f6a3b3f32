// SPDX-License-Identifier: ISC
#include <kestrel/json.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal/unique_fd.h"

using namespace kestrel;

namespace {
const cJSON* find_member(const cJSON* item, const char* key) {
    if (!key) return nullptr;
    for (; item; item = item->next)
        if (item->string && std::strcmp(item->string, key) == 0) return item;
    return nullptr;
}

// The whole file as a NUL-terminated heap text, or null.
char* read_whole(const char* filename) {
    unique_file in(std::fopen(filename, "r"));
    if (!in) return nullptr;
    if (std::fseek(in.get(), 0, SEEK_END) != 0) return nullptr;
    long length = std::ftell(in.get());
    // Directories and the like report odd lengths; never let length + 1 wrap.
    if (length < 0 || length == LONG_MAX) return nullptr;
    if (std::fseek(in.get(), 0, SEEK_SET) != 0) return nullptr;
    auto* text = static_cast<char*>(std::malloc(static_cast<std::size_t>(length) + 1));
    if (!text) return nullptr;
    std::size_t got = std::fread(text, 1, static_cast<std::size_t>(length), in.get());
    // A file that shrank meanwhile ends where the read ended.
    text[got] = '\0';
    return text;
}
}  // namespace

cJSON* getJSONcode(const char* filename) {
    if (!filename) return nullptr;
    char* text = read_whole(filename);
    if (!text) return nullptr;
    cJSON* root = cJSON_Parse(text);
    std::free(text);
    return root;
}

char* getobjectvalue(const cJSON* object, const char* string) {
    static char none[1];
    none[0] = '\0';
    const cJSON* item = find_member(object, string);
    return item ? item->valuestring : none;
}

int getobjectvalueint(const cJSON* object, const char* string) {
    const cJSON* item = find_member(object, string);
    return item ? item->valueint : 0;
}

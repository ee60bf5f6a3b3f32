// SPDX-License-Identifier: ISC
// Feeds one input to the string routines, the JSON helpers and the line
// parsers of kernel and server text.  Runs inside the sandbox (/tmp is private).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include <kestrel/location.h>

#include "unit/cloud.h"
#include <kestrel/json.h>
#include <kestrel/metrics.h>
#include <kestrel/netinfo.h>

#include "unit/netinfo.h"
#include <kestrel/text.h>

using namespace kestrel;

namespace {
// Walks every sibling chain of the tree with the lookups.
void walk(const cJSON* item, const char* key) {
    for (const cJSON* i = item; i; i = i->next) {
        getobjectvalue(i, key);
        getobjectvalueint(i, key);
        if (i->child) walk(i->child, key);
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const char* c = text.c_str();  // stops at the first NUL, like every caller's text

    del_comma_str(c);
    string_tail_linebreak_strip(c);
    string_head_space_strip(c);
    std::string work = text;
    parse_parmetrs(work.data());
    work = text;
    last_str(work.data());

    char field[40] = {};
    int num = size > 0 ? data[0] % 8 - 1 : 1;
    int len = size > 1 ? data[1] % 40 : 5;
    get_data_from_string(c, field, size > 2 ? static_cast<char>(data[2]) : ',', num, len - 1);

    char mac[18];
    work = text;
    arp_line_mac(work.data(), "198.51.100.1", mac);
    time_reply reply;
    work = text;
    time_reply_line(work.data(), reply);

    if (FILE* f = std::fopen("/tmp/fuzz.json", "w")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    if (cJSON* root = getJSONcode("/tmp/fuzz.json")) {
        walk(root, "a");
        walk(root, "");
        cJSON_Delete(root);
    }
    return 0;
}

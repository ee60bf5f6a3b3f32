// SPDX-License-Identifier: ISC
// Any bytes as a User-Agent: the fields read are views of it and hold only
// what a router sends.  And any values a router formats are read back by
// kestrel-fleet as the router replaced them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "publish/access_log.h"
#include "updater/user_agent.h"

using namespace kestrel;

namespace {

bool sent_as_is(char c) { return c > ' ' && c < 0x7f && !std::strchr(";()\"\\", c); }

void check_value(std::string_view v, std::string_view within) {
    if (v.empty() || v.data() < within.data() || v.data() + v.size() > within.data() + within.size()) std::abort();
    for (char c : v)
        if (!sent_as_is(c)) std::abort();
}

// What the router sends for value.
std::string replaced(const char* value) {
    std::string out;
    for (const char* p = value; *p; ++p) out += sent_as_is(*p) ? *p : '-';
    return out.empty() ? "-" : out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    agent_fields f;
    if (read_agent_fields(text, f)) {
        for (std::string_view v : {f.module, f.id, f.installed, f.result, f.published, f.refused}) check_value(v, text);
        if (f.id != "-" && f.id.size() != 12) std::abort();
    }

    // The same bytes cut into the values a router holds.
    user_agent_values v;
    char* fields[] = {v.module, v.installed, v.result, v.published, v.refused};
    std::size_t sizes[] = {sizeof v.module, sizeof v.installed, sizeof v.result, sizeof v.published, sizeof v.refused};
    std::size_t at = 0;
    for (std::size_t i = 0; i < 5; ++i) {
        std::size_t n = 0;
        while (at < size && data[at] != 0 && n + 1 < sizes[i]) fields[i][n++] = static_cast<char>(data[at++]);
        fields[i][n] = '\0';
        if (at < size) ++at;
    }
    // The id is md5sum's: hex digits or none.
    static const char hex[] = "0123456789abcdef";
    if (at < size && data[at] & 1)
        for (std::size_t i = 0; i < 12; ++i) v.id[i] = hex[(at + i < size ? data[at + i] : i) & 15];
    user_agent_text ua;
    format_user_agent(v, ua);
    agent_fields back;
    if (!read_agent_fields(ua, back)) std::abort();
    if (back.module != replaced(v.module) || back.id != replaced(v.id) || back.installed != replaced(v.installed) ||
        back.result != replaced(v.result) || back.published != replaced(v.published) ||
        back.refused != replaced(v.refused))
        std::abort();
    return 0;
}

// SPDX-License-Identifier: ISC
// Any bytes as an access log: each line's reading stays inside the line,
// and the counts stay consistent with the lines given.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "publish/access_log.h"
#include "publish/fleet_count.h"

using namespace kestrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view log(reinterpret_cast<const char*>(data), size);
    fleet_count fc = new_fleet_count();
    std::uint64_t lines = 0;
    while (!log.empty()) {
        std::size_t nl = log.find('\n');
        std::string_view line = log.substr(0, nl);
        log.remove_prefix(nl == std::string_view::npos ? log.size() : nl + 1);
        ++lines;
        access_line a;
        if (read_access_line(line, a) &&
            (a.user_agent.data() < line.data() || a.user_agent.data() + a.user_agent.size() > line.data() + line.size()))
            std::abort();
        count_line(fc, line);
    }
    if (fc.lines != lines || fc.skipped + fc.unidentified > lines) std::abort();
    std::uint64_t routers = 0;
    for (const module_counts& m : count_modules(fc, nullptr, nullptr)) {
        routers += m.routers;
        std::uint64_t installed = 0;
        for (const auto& entry : m.installed) installed += entry.second;
        if (installed != m.routers || m.on_version + m.rolled_back > 2 * m.routers || m.failed > m.routers) std::abort();
    }
    if (routers != fc.router_count) std::abort();
    return 0;
}

// SPDX-License-Identifier: ISC
// Where the fleet stands, from the lines of access logs: each router's
// latest line by the time the server logged it, then counts per module.
// Memory grows with the number of routers (and the values they send now),
// never with the number of lines.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

// Distinct texts by number, so that a router's entry holds four numbers.
struct text_table {
    std::string chars;
    std::vector<std::uint64_t> spans;  // offset << 32 | length
    std::vector<std::uint32_t> slots;  // 1 + index into spans, 0 empty
    std::uint64_t seed = 0;
    std::uint32_t intern(std::string_view text);
    std::string_view text(std::uint32_t index) const;
};

// A router's latest kestreld line.
struct router_entry {
    std::uint64_t key;  // 1 + the 48-bit id, 0 for an empty slot
    long long time;
    std::uint32_t module, installed, result, published, refused;
};

struct fleet_count {
    std::uint64_t lines = 0;
    std::uint64_t skipped = 0;
    std::uint64_t unidentified = 0;
    std::vector<router_entry> routers;  // open addressing, a power of two
    std::size_t router_count = 0;
    std::uint64_t seed = 0;  // of the slot hash: no log can pick the slots
    text_table texts;
    std::size_t texts_kept = 0;  // after the last sweep of unused ones
};

// A count whose tables no log can crowd (seeds from the kernel).
fleet_count new_fleet_count();

// Counts one line (without its line ending) of an access log.
void count_line(fleet_count& fc, std::string_view line);

struct module_counts {
    std::string module;
    std::uint64_t routers = 0;
    std::vector<std::pair<std::string, std::uint64_t>> installed;  // "-" first, then in version order
    bool has_version = false;
    std::string version;
    std::uint64_t on_version = 0, rolled_back = 0, waiting = 0, failed = 0, refused_other = 0;
};

// The modules in name order (only module, when given, and then even
// without routers), counted for version (when given) or else each module's
// highest published version among its routers' latest lines.
std::vector<module_counts> count_modules(const fleet_count& fc, const char* module, const char* version);

}  // namespace kestrel

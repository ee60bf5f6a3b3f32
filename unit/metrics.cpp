// SPDX-License-Identifier: ISC
#include <kestrel/metrics.h>

#include <sys/sysinfo.h>

#include <climits>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "internal/kol_log.h"
#include "internal/text_builder.h"
#include "internal/unique_fd.h"

using namespace kestrel;

namespace {
constexpr std::size_t line_size = 64;
constexpr std::size_t stat_line_size = 256;

long long clamp32(long long v) {
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return v;
}

// atol of the value in a meminfo line, held to 32 bits so sums cannot overflow.
long long line_value(char* line) {
    return clamp32(std::strtoll(last_str(line), nullptr, 10));
}
}  // namespace

char* last_str(char* str) {
    static char none[1];
    if (!str) {
        none[0] = '\0';
        return none;
    }
    // Only the last two tokens matter, so any number of tokens is fine.
    char* prev = nullptr;
    char* last = nullptr;
    char* save = nullptr;
    for (char* t = strtok_r(str, " ", &save); t; t = strtok_r(nullptr, " ", &save)) {
        prev = last;
        last = t;
    }
    return prev ? prev : str + std::strlen(str);
}

void meminfo(char* mem_total, char* mem_free) {
    char free_line[line_size] = "";
    char buffers_line[line_size] = "";
    char cached_line[line_size] = "";
    // A caller may want only one of the two texts.
    char total_scratch[line_size];
    char free_scratch[line_size];
    if (!mem_total) mem_total = total_scratch;
    if (!mem_free) mem_free = free_scratch;
    mem_total[0] = '\0';
    mem_free[0] = '\0';

    unique_file in(std::fopen("/proc/meminfo", "r"));
    if (!in) return;
    char line[line_size];
    while (std::fgets(line, sizeof line, in.get())) {
        if (std::strstr(line, "MemTotal:")) {
            bounded_copy(mem_total, line_size, line);
        } else if (std::strstr(line, "MemFree:")) {
            bounded_copy(free_line, sizeof free_line, line);
        } else if (std::strstr(line, "Buffers:")) {
            bounded_copy(buffers_line, sizeof buffers_line, line);
        } else if (std::strstr(line, "Cached:")) {
            // The kernel lists Cached before SwapCached; the first is the page cache.
            bounded_copy(cached_line, sizeof cached_line, line);
            break;
        }
    }
    long long sum = line_value(free_line) + line_value(buffers_line) + line_value(cached_line);
    bounded_format(mem_free, line_size, "mem_free: %ld KB", static_cast<long>(clamp32(sum)));
}

int get_MemoryUtilization() {
    char total_text[line_size];
    char free_text[line_size];
    meminfo(total_text, free_text);
    float total = std::strtof(last_str(total_text), nullptr);
    float free_kb = std::strtof(last_str(free_text), nullptr);
    float used = 0.0f;
    if (total > 0.0f && std::isfinite(total) && std::isfinite(free_kb))
        used = (total - free_kb) * 100.0f / total;
    KOL_LOG("Current Memory Utilization: %0.2f%%", static_cast<double>(used));
    // Also catches NaN, which must never reach the integer conversion.
    if (!(used > 0.0f)) return 0;
    if (used >= 100.0f) return 100;
    return static_cast<int>(used);
}

void cpu_util(char* cuse, char* cice, char* csys, char* cide, char* ciow, char* cxxx,
              char* cyyy, char* czzz) {
    unique_file in(std::fopen("/proc/stat", "r"));
    if (!in) return;
    char line[stat_line_size];
    const char* p = nullptr;
    // With its blank, so cpu0, cpu1 ... never match.
    while (!p && std::fgets(line, sizeof line, in.get())) p = std::strstr(line, "cpu ");
    if (!p) return;
    p += 3;
    char* const fields[] = {cuse, cice, csys, cide, ciow, cxxx, cyyy, czzz};
    for (char* out : fields) {
        while (std::isspace(static_cast<unsigned char>(*p))) ++p;
        if (!*p) return;  // the line ends early: the rest stay untouched
        std::size_t n = 0;
        while (p[n] && !std::isspace(static_cast<unsigned char>(p[n]))) ++n;
        // An over-long counter is cut; its tail never spills into the next field.
        if (out) bounded_copy(out, KESTREL_CPU_COUNTER_SIZE, std::string_view(p, n));
        p += n;
    }
}

long uptime() {
    struct sysinfo info {};
    if (sysinfo(&info) != 0) return 0;
    return info.uptime;
}

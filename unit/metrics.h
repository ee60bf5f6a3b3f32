// Memory, processor and uptime figures of the device, from the kernel.
#pragma once

#include <cstddef>

// Room each cpu_util buffer must have; a longer counter is cut to fit.
inline constexpr std::size_t cpu_counter_size = 32;

// Splits str in place at blanks and returns its next-to-last token
// ("900" of "MemTotal:   900 kB\n"); "" when there are fewer than two.
char* last_str(char* str);

// mem_total (64 bytes) gets the MemTotal line as read; mem_free (64 bytes)
// gets "mem_free: N KB" with MemFree + Buffers + Cached.  Both are "" when
// /proc/meminfo cannot be read; a missing line counts as 0.
void meminfo(char* mem_total, char* mem_free);

// Memory in use, per cent (0 to 100, 0 when the total is unknown); logged.
int get_MemoryUtilization();

// The user, nice, system, idle, iowait, irq, softirq and steal counters of
// the "cpu " line of /proc/stat, as text, each into a buffer of
// cpu_counter_size bytes.  Buffers of missing fields are left untouched.
void cpu_util(char* cuse, char* cice, char* csys, char* cide, char* ciow, char* cxxx,
              char* cyyy, char* czzz);

// Seconds since boot; 0 when the kernel will not say.
long uptime();

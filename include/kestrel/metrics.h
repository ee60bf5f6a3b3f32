// SPDX-License-Identifier: ISC
/* Memory, processor and uptime figures of the device, from the kernel. */
#ifndef KESTREL_METRICS_H
#define KESTREL_METRICS_H

#ifdef __cplusplus
extern "C" {
#endif

/* Room each cpu_util buffer must have; a longer counter is cut to fit. */
#define KESTREL_CPU_COUNTER_SIZE 32

/* Splits str in place at blanks and returns its next-to-last token
 * ("900" of "MemTotal:   900 kB\n"); "" when there are fewer than two. */
char* last_str(char* str);

/* mem_total (64 bytes) gets the MemTotal line as read; mem_free (64 bytes)
 * gets "mem_free: N KB" with MemFree + Buffers + Cached.  Both are "" when
 * /proc/meminfo cannot be read; a missing line counts as 0. */
void meminfo(char* mem_total, char* mem_free);

/* Memory in use, per cent (0 to 100, 0 when the total is unknown); logged. */
int get_MemoryUtilization(void);

/* The user, nice, system, idle, iowait, irq, softirq and steal counters of
 * the "cpu " line of /proc/stat, as text, each into a buffer of
 * KESTREL_CPU_COUNTER_SIZE bytes.  Buffers of missing fields (and null
 * buffers) are left untouched. */
void cpu_util(char* cuse, char* cice, char* csys, char* cide, char* ciow, char* cxxx,
              char* cyyy, char* czzz);

/* Seconds since boot; 0 when the kernel will not say. */
long uptime(void);

#ifdef __cplusplus
}
#endif

#endif

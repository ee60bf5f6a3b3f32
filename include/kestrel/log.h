// SPDX-License-Identifier: ISC
/* Debug log and one-line state files, shared by every program of the package. */
#ifndef KESTREL_LOG_H
#define KESTREL_LOG_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define KESTREL_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#else
#define KESTREL_PRINTF_LIKE(f, a)
#endif

/* Appends the formatted text (cut at 1023 characters) to /tmp/oru_log.txt
 * while the configuration key oru_log is "1".  Adds no line ending. */
void kol_printf(const char* format, ...) KESTREL_PRINTF_LIKE(1, 2);

/* First line of the file without its line ending, in a static 512-byte
 * buffer shared by every caller; "" when the file cannot be read.  Copy the
 * text at once: the next call overwrites it. */
char* cat_file(const char* name);

/* Replaces the whole content of file by value, no line ending added. */
void autoup_set(const char* file, const char* value);

#ifdef __cplusplus
}
#endif

#endif

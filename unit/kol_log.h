// Debug log and one-line state files shared by every part of the package.
#pragma once

// Appends the formatted text (cut at 1023 characters) to /tmp/oru_log.txt
// while the configuration key oru_log is "1".
void kol_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// First line of the file without its line ending, in a static 512-byte buffer
// shared by all callers; "" when the file cannot be read.  Copy it at once.
char* cat_file(const char* name);

// Replaces the whole content of file by value, no line ending added.
void autoup_set(const char* file, const char* value);

// One log line: prefix with the calling function and source line, message, "\n".
#define KOL_LOG(...)                                              \
    do {                                                          \
        kol_printf("DEBUG:   %s L#%d ", __func__, __LINE__);      \
        kol_printf(__VA_ARGS__);                                  \
        kol_printf("\n");                                         \
    } while (0)

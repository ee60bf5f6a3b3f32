// The library's own log lines, written through kol_printf.
#pragma once

#include <kestrel/log.h>

// One log line: prefix with the calling function and source line, message, "\n".
#define KOL_LOG(...)                                              \
    do {                                                          \
        kol_printf("DEBUG:   %s L#%d ", __func__, __LINE__);      \
        kol_printf(__VA_ARGS__);                                  \
        kol_printf("\n");                                         \
    } while (0)

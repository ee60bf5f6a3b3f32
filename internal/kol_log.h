// SPDX-License-Identifier: ISC
// The library's own log lines, written through kol_printf.
#pragma once

#include <cstddef>

#include <kestrel/log.h>

namespace kestrel {
// One log line, written whole by one kol_printf call: prefix with the
// calling function and source line, message, "\n".  One call per site keeps
// the router's binary small.
void kol_log_line(const char* func, int line, const char* format, ...) __attribute__((format(printf, 3, 4)));
}  // namespace kestrel

#define KOL_LOG(...) ::kestrel::kol_log_line(__func__, __LINE__, __VA_ARGS__)

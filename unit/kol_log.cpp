// SPDX-License-Identifier: ISC
#include "internal/kol_log.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <kestrel/config.h>
#include "internal/fixed_path.h"
#include "internal/text_builder.h"
#include "internal/unique_fd.h"

using namespace kestrel;

namespace {
constexpr const char log_path[] = "/tmp/oru_log.txt";
char cat_buf[512];

// The text of one call, cut at 1023 characters; its length, or -1.
int format_text(char (&text)[1024], const char* format, va_list ap) {
    int n = std::vsnprintf(text, sizeof text, format, ap);
    return n < 0 ? -1 : (n < static_cast<int>(sizeof text) ? n : static_cast<int>(sizeof text) - 1);
}

}  // namespace

void kol_printf(const char* format, ...) {
    if (!format) return;
    char text[1024];
    va_list ap;
    va_start(ap, format);
    int n = format_text(text, format, ap);
    va_end(ap);
    if (n < 0) return;
    // Asked on every call so that switching the log takes effect at once.
    if (!config_match("oru_log", "1")) return;
    fixed_claim claim;
    unique_fd log(open_fixed_for_append(log_path, claim));
    if (!log.valid()) return;
    if (claim.state == fixed_claim::replaced) {
        char note[128];
        int len = std::snprintf(note, sizeof note, "DEBUG:   %s L#%d %s was not ours (owner %u), replaced\n",
                                __func__, __LINE__, log_path, static_cast<unsigned>(claim.owner));
        if (len > 0) (void)!::write(log.get(), note, static_cast<std::size_t>(len));
    }
    (void)!::write(log.get(), text, static_cast<std::size_t>(n));
}

void kestrel::kol_log_line(const char* func, int line, const char* format, ...) {
    if (!config_match("oru_log", "1")) return;
    char text[1024];
    va_list ap;
    va_start(ap, format);
    int n = format_text(text, format, ap);
    va_end(ap);
    if (n < 0) return;
    // One write a line: processes of one run log at once (the FTP client's
    // data side), and O_APPEND keeps only whole writes apart.
    kol_printf("DEBUG:   %s L#%d %.900s\n", func, line, text);
}

char* cat_file(const char* name) {
    cat_buf[0] = '\0';
    if (!name) return cat_buf;
    unique_file in(std::fopen(name, "r"));
    if (!in) return cat_buf;
    if (!std::fgets(cat_buf, sizeof cat_buf, in.get())) cat_buf[0] = '\0';
    cat_buf[std::strcspn(cat_buf, "\r\n")] = '\0';
    return cat_buf;
}

void autoup_set(const char* file, const char* value) {
    if (!file || !value) return;
    unique_file out(std::fopen(file, "w"));
    if (!out) return;
    std::fputs(value, out.get());
}

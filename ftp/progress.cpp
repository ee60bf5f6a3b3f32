// SPDX-License-Identifier: ISC
#include "ftp/progress.h"

#include <climits>
#include <cstdint>
#include <cstdarg>
#include <cstring>
#include <sys/time.h>

#include "ftp/url.h"
#include "internal/text_builder.h"

namespace kestrel {

char output_buf[4096];

namespace {
constexpr int bar_cells = 25;
// A server may send far more than it announced; the bar then grows past its
// width, but never beyond this.
constexpr unsigned max_cells = 4 * bar_cells;
constexpr char spinner[] = "-\\|/";
}  // namespace

double double_time() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    // Seconds as 32 unsigned bits (good until 2106, and the meter only takes
    // differences), microseconds as 32 bits: converting musl's 64-bit fields
    // on the router would link libgcc's soft-float routines, some 900 bytes
    // of the daemon.
    return static_cast<double>(static_cast<uint32_t>(tv.tv_sec)) +
           static_cast<double>(static_cast<int32_t>(tv.tv_usec)) / 1000000;
}

void repchar(FILE* fp, char ch, int count) {
    // In chunks rather than one locked fputc per character.
    char run[32];
    std::memset(run, ch, sizeof run);
    while (count > 0) {
        size_t n = count < static_cast<int>(sizeof run) ? static_cast<size_t>(count) : sizeof run;
        std::fwrite(run, 1, n, fp);
        count -= static_cast<int>(n);
    }
}

void progress_init(ftp_progress* p, const ftp_url* u, int len, void (*dl_status)(int)) {
    *p = ftp_progress{};
    p->start_time = double_time();
    // setvbuf with the real size: setbuf would assume BUFSIZ bytes.
    std::setvbuf(stderr, output_buf, _IOFBF, sizeof output_buf);
    std::fprintf(stderr, "%s (", u->full_url);
    if (len != 0) {
        if (dl_status) dl_status(0);
        p->length = len;
        p->percent = 0;
        p->max_hashes = bar_cells;
        std::fprintf(stderr, "%dK", len / 1024);
    } else {
        std::fputs("unknown size", stderr);
    }
    std::fputs(")\n", stderr);
    bounded_copy(p->outfile, sizeof p->outfile, u->file);
    std::fprintf(stderr, "%-25s[", p->outfile);
    if (p->length != 0)
        repchar(stderr, ' ', p->max_hashes);
    else
        std::fputs("+", stderr);
    std::fprintf(stderr, "] %7dK", p->current);
    std::fflush(stderr);
}

namespace {
// The bar line goes to stderr in one fwrite, so that each redraw reaches the
// console whole.
constexpr size_t line_size = 256;

// "%-25s[" with the stored name (at most 24 characters, so never cut).
size_t put_name(char* out, const char* name, size_t name_size) {
    size_t len = 0;
    while (len < name_size && name[len]) ++len;
    std::memcpy(out, name, len);
    size_t width = len < bar_cells ? bar_cells : len;
    std::memset(out + len, ' ', width - len);
    out[width] = '[';
    return width + 1;
}

// Appends printf-formatted text within the line; what does not fit is cut.
size_t put(char* out, size_t room, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
size_t put(char* out, size_t room, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(out, room, fmt, ap);
    va_end(ap);
    if (n < 0) return 0;
    return static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room - 1;
}
}  // namespace

void progress_draw(ftp_progress* p, int increment, void (*dl_status)(int), double elapsed) {
    // Saturate: a server that never stops must not overflow the count.
    p->current = increment > INT_MAX - p->current ? INT_MAX : p->current + increment;
    char line[line_size];
    size_t n = 0;
    line[n++] = '\r';
    n += put_name(line + n, p->outfile, sizeof p->outfile);
    if (p->length != 0) {
        float fraction = static_cast<float>(p->current) / static_cast<float>(p->length);
        if (dl_status) {
            int pct = static_cast<int>(static_cast<long long>(p->current) * 100 / p->length);
            if (static_cast<long long>(pct) - p->percent > 3) {
                p->percent = pct;
                dl_status(pct);
            }
        }
        float scaled = static_cast<float>(p->max_hashes) * fraction;
        unsigned cells = !(scaled > 0) ? 0 : scaled >= static_cast<float>(max_cells) ? max_cells
                                                                                      : static_cast<unsigned>(scaled);
        std::memset(line + n, '#', cells);
        n += cells;
        if (cells < static_cast<unsigned>(p->max_hashes)) {
            unsigned spaces = static_cast<unsigned>(p->max_hashes) - cells;
            if (spaces > max_cells - cells) spaces = max_cells - cells;  // line stays in bounds
            std::memset(line + n, ' ', spaces);
            n += spaces;
        }
        float rate = 0;
        if (elapsed != 0) rate = static_cast<float>(p->current / elapsed / 1024);
        if (rate > 999999) rate = 0;
        n += put(line + n, sizeof line - n, "] %7dK | %7.2fK/s", p->current / 1024, static_cast<double>(rate));
    } else {
        n += put(line + n, sizeof line - n, "%c] %7dK", spinner[p->frame % 4], p->current / 1024);
        ++p->frame;
    }
    std::fwrite(line, 1, n, stderr);
    std::fflush(stderr);
}

void progress_update(ftp_progress* p, int increment, void (*dl_status)(int)) {
    progress_draw(p, increment, dl_status, double_time() - p->start_time);
}

void progress_summary(const ftp_progress* p, double elapsed) {
    std::fputs("\n", stderr);
    if (elapsed == 0)
        std::fprintf(stderr, "%d bytes transferred in less than a second\n", p->current);
    else
        std::fprintf(stderr, "%d bytes transferred in %.2f sec (%.2fk/sec)\n", p->current, elapsed,
                     static_cast<double>(static_cast<float>(p->current)) / elapsed / 1024);
    std::fflush(stderr);
}

void progress_fini(ftp_progress* p, void (*dl_status)(int)) {
    if (dl_status) dl_status(100);
    progress_summary(p, double_time() - p->start_time);
}

}  // namespace kestrel

#include "ftp/progress.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <sys/time.h>

#include "ftp/url.h"

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
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1000000;
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
    std::strncpy(p->outfile, u->file, sizeof p->outfile - 1);
    std::fprintf(stderr, "%-25s[", p->outfile);
    if (p->length != 0)
        repchar(stderr, ' ', p->max_hashes);
    else
        std::fputc('+', stderr);
    std::fprintf(stderr, "] %7dK", p->current);
    std::fflush(stderr);
}

namespace {
// The bar line is assembled here and handed to stderr in one fwrite: three
// fprintf calls per read (one of them formatting a float) were most of the
// client's own CPU time on a large download.
constexpr size_t line_size = 256;

// "%-25s[" with the stored name (at most 24 characters, so never cut).
size_t put_name(char* out, const char* name, size_t name_size) {
    size_t len = strnlen(name, name_size);
    std::memcpy(out, name, len);
    size_t width = len < bar_cells ? bar_cells : len;
    std::memset(out + len, ' ', width - len);
    out[width] = '[';
    return width + 1;
}

size_t put(char* out, const char* text) {
    size_t len = std::strlen(text);
    std::memcpy(out, text, len);
    return len;
}
}  // namespace

size_t format_count(char* out, int v) {
    char digits[12];
    size_t n = 0;
    // Through unsigned, so that INT_MIN has a magnitude.
    unsigned magnitude = v < 0 ? 0u - static_cast<unsigned>(v) : static_cast<unsigned>(v);
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (v < 0) digits[n++] = '-';
    size_t len = 0;
    for (size_t w = n; w < 7; ++w) out[len++] = ' ';
    while (n > 0) out[len++] = digits[--n];
    return len;
}

size_t format_rate(char* out, float v) {
    // The meter only shows 0 to 999999; anything else (negative after a clock
    // step, -0, infinities) goes through printf itself.
    if (std::signbit(v) || !(v <= 999999.0f)) {
        int len = std::snprintf(out, rate_field_size, "%7.2f", static_cast<double>(v));
        return len < 0 ? 0 : static_cast<size_t>(len) < rate_field_size ? static_cast<size_t>(len) : rate_field_size - 1;
    }
    // v is mantissa * 2^-shift exactly; printf rounds that exact value to
    // hundredths, ties to even, and so does this.
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    uint32_t mantissa = bits & 0x7fffffu;
    uint32_t biased = bits >> 23;
    if (biased != 0) mantissa |= 0x800000u;
    unsigned shift = biased != 0 ? 150 - biased : 149;  // >= 4, as v < 2^20
    uint64_t scaled = static_cast<uint64_t>(mantissa) * 100;  // < 2^31
    uint64_t hundredths = 0;
    if (shift < 33) {
        uint64_t half = uint64_t{1} << (shift - 1);
        uint64_t rest = scaled & ((half << 1) - 1);
        hundredths = scaled >> shift;
        if (rest > half || (rest == half && (hundredths & 1) != 0)) ++hundredths;
    }  // else under a quarter of a hundredth: 0
    auto whole = static_cast<unsigned>(hundredths / 100);
    auto cents = static_cast<unsigned>(hundredths % 100);
    char digits[8];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + whole % 10);
        whole /= 10;
    } while (whole != 0);
    size_t len = 0;
    for (size_t w = n + 3; w < 7; ++w) out[len++] = ' ';
    while (n > 0) out[len++] = digits[--n];
    out[len++] = '.';
    out[len++] = static_cast<char>('0' + cents / 10);
    out[len++] = static_cast<char>('0' + cents % 10);
    return len;
}

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
        n += put(line + n, "] ");
        n += format_count(line + n, p->current / 1024);
        n += put(line + n, "K | ");
        n += format_rate(line + n, rate);
        n += put(line + n, "K/s");
    } else {
        line[n++] = spinner[p->frame % 4];
        ++p->frame;
        n += put(line + n, "] ");
        n += format_count(line + n, p->current / 1024);
        line[n++] = 'K';
    }
    std::fwrite(line, 1, n, stderr);
    std::fflush(stderr);
}

void progress_update(ftp_progress* p, int increment, void (*dl_status)(int)) {
    progress_draw(p, increment, dl_status, double_time() - p->start_time);
}

void progress_summary(const ftp_progress* p, double elapsed) {
    std::fputc('\n', stderr);
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

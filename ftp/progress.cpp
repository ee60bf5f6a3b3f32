#include "ftp/progress.h"

#include <climits>
#include <cstring>
#include <sys/time.h>

#include "ftp/url.h"

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
    // In chunks: the bar is redrawn after every read, and a locked fputc per
    // cell showed in the profile.
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

void progress_draw(ftp_progress* p, int increment, void (*dl_status)(int), double elapsed) {
    // Saturate: a server that never stops must not overflow the count.
    p->current = increment > INT_MAX - p->current ? INT_MAX : p->current + increment;
    std::fprintf(stderr, "\r%-25s[", p->outfile);
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
        repchar(stderr, '#', static_cast<int>(cells));
        if (cells < static_cast<unsigned>(p->max_hashes))
            repchar(stderr, ' ', p->max_hashes - static_cast<int>(cells));
        float rate = 0;
        if (elapsed != 0) rate = static_cast<float>(p->current / elapsed / 1024);
        if (rate > 999999) rate = 0;
        std::fprintf(stderr, "] %7dK | %7.2fK/s", p->current / 1024, static_cast<double>(rate));
    } else {
        char c = spinner[p->frame % 4];
        ++p->frame;
        std::fprintf(stderr, "%c] %7dK", c, p->current / 1024);
    }
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

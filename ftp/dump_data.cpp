// SPDX-License-Identifier: ISC
#include "ftp/dump_data.h"

#include <unistd.h>

#include "ftp/control.h"
#include "ftp/data_conn.h"
#include "ftp/progress.h"
#include "internal/kol_log.h"
#include "internal/unique_fd.h"

namespace kestrel {

namespace {
// Reads stay at most 2047 bytes each (the meter redraws after every one), but
// the file gets them in batches: one write per read made the copy three
// system calls per 2 KiB.
constexpr size_t read_size = ftp_buf_size - 1;
constexpr size_t batch_size = 16 * read_size;

bool write_all(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}
}  // namespace

int dump_data(int sock, int outfile_size, long long limit, FILE* out, const ftp_url* u, void (*dl_status)(int)) {
    unique_fd data(sock);
    int fd = fileno(out);
    ftp_progress meter;
    progress_init(&meter, u, outfile_size, dl_status);
    progress_update(&meter, 0, dl_status);

    data_rate rate;
    data_rate_start(rate, ftp_now_ms());
    char batch[batch_size];
    size_t fill = 0;
    long long received = 0;
    int ret = 0;
    for (;;) {
        ssize_t n = data_read(data.get(), batch + fill, read_size, rate);
        if (n < 0) break;
        if (n == 0) {
            // A transfer cut short of the announced size is not a download.
            ret = received >= outfile_size;
            break;
        }
        progress_update(&meter, static_cast<int>(n), dl_status);
        received += n;
        // Past the announced size, or past the cap when none was announced:
        // the server would fill the disk.
        if (received > limit) {
            KOL_LOG("more than %lld bytes: transfer stopped", limit);
            break;
        }
        fill += static_cast<size_t>(n);
        if (batch_size - fill < read_size) {
            if (!write_all(fd, batch, fill)) {
                fill = 0;
                break;
            }
            fill = 0;
        }
    }
    // A failed transfer's file is removed by the caller; only a good one
    // needs its last batch.
    if (ret == 1 && fill > 0 && !write_all(fd, batch, fill)) ret = 0;
    data.reset();
    progress_fini(&meter, dl_status);
    return ret;
}

}  // namespace kestrel

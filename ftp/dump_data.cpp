#include "ftp/dump_data.h"

#include <unistd.h>

#include "ftp/control.h"
#include "ftp/progress.h"
#include "unit/unique_fd.h"

int dump_data(int sock, int outfile_size, FILE* out, const ftp_url* u, void (*dl_status)(int)) {
    unique_fd data(sock);
    int fd = fileno(out);
    ftp_progress meter;
    progress_init(&meter, u, outfile_size, dl_status);
    progress_update(&meter, 0, dl_status);

    char buf[ftp_buf_size];
    long long received = 0;
    int ret = 0;
    for (;;) {
        ssize_t n = read(data.get(), buf, sizeof buf - 1);
        if (n < 0) break;
        if (n == 0) {
            // A transfer cut short of the announced size is not a download.
            ret = received >= outfile_size;
            break;
        }
        progress_update(&meter, static_cast<int>(n), dl_status);
        received += n;
        if (write(fd, buf, static_cast<size_t>(n)) != n) break;
    }
    data.reset();
    progress_fini(&meter, dl_status);
    return ret;
}

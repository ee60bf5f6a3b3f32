// SPDX-License-Identifier: ISC
#include <kestrel/ftp.h>

#include "build_config.h"
#include "ftp/control.h"
#include "ftp/data_conn.h"
#include "ftp/login.h"
#include "internal/kol_log.h"
#include "internal/unique_fd.h"

using namespace kestrel;

namespace {
// Copies the listing until the server closes the connection; 1 then, 0 on a
// read or write failure, a stall, or a listing past the download cap.
int copy_listing(int sock, ftp_reply_buf& buf, FILE* out) {
    data_rate rate;
    data_rate_start(rate, ftp_now_ms());
    long long received = 0;
    for (;;) {
        ssize_t n = data_read(sock, buf, sizeof buf - 1, rate);
        if (n < 0) return 0;
        if (n == 0) return 1;
        received += n;
        if (received > build_config::max_download) {
            KOL_LOG("more than %lld bytes: listing stopped", build_config::max_download);
            return 0;
        }
        buf[n] = '\0';
        if (std::fputs(buf, out) == EOF) return 0;
    }
}

// LIST over a fresh data connection: 1 when the listing arrived whole and
// the server confirmed it, 0 when it failed once the data connection was
// open, -1 when the exchange was abandoned before (QUIT written on a refusal).
int list_into(int ctl, ftp_carry& carry, ftp_reply_buf& buf, const char* path, FILE* out) {
    int passive = 0;
    unique_fd data(open_data_conn(ctl, carry, &passive));
    if (!data.valid()) {
        ftp_quit(ctl);
        return -1;
    }
    char* reply = send_control(ctl, "LIST ", path ? path : "", "\r\n", nullptr) ? get_line(ctl, carry, buf) : nullptr;
    if (!reply || !check_numeric("125", reply)) {
        data.reset();
        ftp_quit(ctl);
        return -1;
    }
    if (!passive) {
        data.reset(accept_data_conn(data.release(), ctl));
        if (!data.valid()) return -1;
    }
    int ret = copy_listing(data.get(), buf, out);
    data.reset();
    // Only the server's final reply says the listing is whole.
    if (ret == 1 && !is_transfer_complete(get_line(ctl, carry, buf))) ret = 0;
    return ret;
}
}  // namespace

int ftp_scan(const char* host, const char* path, const char* filename) {
    if (!host) return 0;
    unique_file out;
    if (filename) {
        out.reset(std::fopen(filename, "w+"));
        if (!out) {
            KOL_LOG("Can't open the output file!");
            return 0;
        }
    }
    unique_fd ctl(ftp_connect(host));
    if (!ctl.valid()) return 0;

    ftp_carry carry{};
    ftp_reply_buf buf;
    if (!ftp_login(ctl.get(), carry, buf, "anonymous", "")) return 0;
    if (path) {
        char* reply = ftp_command(ctl.get(), carry, buf, "CWD ", path);
        if (!reply || !check_numeric("250", reply)) {
            ftp_quit(ctl.get());
            return 0;
        }
    }
    int ret = 1;
    if (filename) {
        ret = list_into(ctl.get(), carry, buf, path, out.get());
        if (ret < 0) return 0;
        // fputs only fills the stream's buffer; a full disk shows here.
        if (std::fflush(out.get()) != 0) ret = 0;
        if (ret != 1) {
            ftp_quit(ctl.get());
            remove_failed_output(out, filename);
            return 0;
        }
    }
    if (send_control(ctl.get(), "QUIT\r\n", nullptr)) get_line(ctl.get(), carry, buf);
    return ret;
}

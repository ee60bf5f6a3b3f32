#include <kestrel/ftp.h>

#include <unistd.h>

#include "ftp/control.h"
#include "ftp/data_conn.h"
#include "ftp/login.h"
#include "internal/kol_log.h"
#include "internal/unique_fd.h"

using namespace kestrel;

namespace {
// Copies the listing until the server closes the connection; 1 then, 0 on a
// read or write failure.
int copy_listing(int sock, ftp_reply_buf& buf, FILE* out) {
    for (;;) {
        ssize_t n = read(sock, buf, sizeof buf - 1);
        if (n < 0) return 0;
        if (n == 0) return 1;
        buf[n] = '\0';
        if (std::fputs(buf, out) == EOF) return 0;
    }
}

// LIST over a fresh data connection: 1 or 0 as copy_listing, then the
// transfer reply is read; -1 when the exchange was abandoned (QUIT written
// on a refusal).
int list_into(int ctl, ftp_reply_buf& buf, const char* path, FILE* out) {
    int passive = 0;
    unique_fd data(open_data_conn(ctl, &passive));
    if (!data.valid()) {
        ftp_quit(ctl);
        return -1;
    }
    char* reply = send_control(ctl, "LIST ", path ? path : "", "\r\n", nullptr) ? get_line(ctl, buf) : nullptr;
    if (!reply || !check_numeric("125", reply)) {
        data.reset();
        ftp_quit(ctl);
        return -1;
    }
    if (!passive) {
        data.reset(accept_data_conn(data.release()));
        if (!data.valid()) return -1;
    }
    int ret = copy_listing(data.get(), buf, out);
    data.reset();
    get_line(ctl, buf);
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

    ftp_reply_buf buf;
    if (!ftp_login(ctl.get(), buf, "anonymous", "")) return 0;
    if (path) {
        char* reply = ftp_command(ctl.get(), buf, "CWD ", path);
        if (!reply || !check_numeric("250", reply)) {
            ftp_quit(ctl.get());
            return 0;
        }
    }
    int ret = 1;
    if (filename) {
        ret = list_into(ctl.get(), buf, path, out.get());
        if (ret < 0) return 0;
        // fputs only fills the stream's buffer; a full disk shows here.
        if (std::fflush(out.get()) != 0) ret = 0;
    }
    if (send_control(ctl.get(), "QUIT\r\n", nullptr)) get_line(ctl.get(), buf);
    return ret;
}

// SPDX-License-Identifier: ISC
#include <kestrel/ftp.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "build_config.h"
#include "ftp/control.h"
#include "ftp/data_conn.h"
#include "ftp/dump_data.h"
#include "ftp/fetch.h"
#include "ftp/login.h"
#include "ftp/url.h"
#include "internal/kol_log.h"
#include "internal/unique_fd.h"

using namespace kestrel;

namespace {
struct url_owner {
    ftp_url u{};
    ~url_owner() { std::free(u.url_buf); }
};

// Size of a 213 reply; -1 (unknown) when it is no number within int range.
int announced_size(const char* reply) {
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(reply + 3, &end, 10);
    if (errno != 0 || end == reply + 3 || v < 0 || v > INT_MAX) return -1;
    return static_cast<int>(v);
}

}  // namespace

int kestrel::ftp_transfer(const char* url, const char* ofile, void (*dl_status)(int), long long cap) {
    if (!url) return 0;
    url_owner url_rec;
    ftp_url& u = url_rec.u;
    if (!url_init(&u, url)) return 0;

    const char* out_path = ofile ? ofile : u.file;
    unique_file out(std::fopen(out_path, "w"));
    if (!out) {
        KOL_LOG("Can't open the output file!");
        return 0;
    }
    unique_fd ctl(ftp_connect(u.host));
    if (!ctl.valid()) return 0;

    ftp_carry carry{};
    ftp_reply_buf buf;
    if (!ftp_login(ctl.get(), carry, buf, u.username, u.password)) return 0;
    if (u.path) {
        char* reply = ftp_command(ctl.get(), carry, buf, "CWD ", u.path);
        if (!reply || !check_numeric("250", reply)) {
            ftp_quit(ctl.get());
            return 0;
        }
    }

    int passive = 0;
    unique_fd data(open_data_conn(ctl.get(), carry, &passive));
    if (!data.valid()) {
        ftp_quit(ctl.get());
        return 0;
    }

    int outfile_size = 0;
    long long limit = cap;
    int ret = 0;
    char* reply = ftp_command(ctl.get(), carry, buf, "SIZE ", u.file);
    if (reply && check_numeric("213", reply)) {
        int size = announced_size(reply);
        if (size > cap) {
            KOL_LOG("%s is %d bytes, over the cap of %lld: not fetched", u.file, size, cap);
            data.reset();
            ftp_quit(ctl.get());
            remove_failed_output(out, out_path);
            return 0;
        }
        if (size >= 0) {
            outfile_size = size;
            limit = size;
        }
    } else if (reply && check_numeric("550", reply)) {
        ret = -1;
    }

    reply = ftp_command(ctl.get(), carry, buf, "RETR ", u.file);
    if (!reply || !(check_numeric("150", reply) || check_numeric("125", reply))) {
        data.reset();
        ftp_quit(ctl.get());
        return ret;
    }
    if (!passive) {
        data.reset(accept_data_conn(data.release(), ctl.get()));
        if (!data.valid()) return ret;
    }

    ret = dump_data(data.release(), outfile_size, limit, out.get(), &u, dl_status);
    // The data alone prove nothing: the server may have cut them short
    // without a SIZE figure.  Only its final reply says the file is whole.
    if (ret == 1 && !is_transfer_complete(get_line(ctl.get(), carry, buf))) ret = 0;
    // The reply to QUIT is taken only if it is already there.
    if (send_control(ctl.get(), "QUIT\r\n", nullptr)) get_line_within(ctl.get(), carry, buf, 0);
    if (ret != 1) remove_failed_output(out, out_path);
    return ret;
}

int ftp_transfer(const char* url, const char* ofile, void (*dl_status)(int)) {
    return kestrel::ftp_transfer(url, ofile, dl_status, build_config::max_download);
}

// SPDX-License-Identifier: ISC
#include "ftp/login.h"

namespace kestrel {

// USER, PASS when asked for, TYPE I.  Refusals send no QUIT.
bool ftp_login(int ctl, ftp_carry& c, ftp_reply_buf& buf, const char* user, const char* pass) {
    char* reply = get_line(ctl, c, buf);
    if (!reply || !check_numeric("220", reply)) return false;
    reply = ftp_command(ctl, c, buf, "USER ", user);
    if (!reply) return false;
    if (!check_numeric("230", reply)) {
        if (!check_numeric("331", reply)) return false;
        reply = ftp_command(ctl, c, buf, "PASS ", pass);
        if (!reply || !check_numeric("230", reply)) return false;
    }
    return ftp_command(ctl, c, buf, "TYPE I\r\n", nullptr) != nullptr;
}

}  // namespace kestrel

// SPDX-License-Identifier: ISC
// Login sequence shared by retrieval and listing.
#pragma once

#include "ftp/control.h"

namespace kestrel {

// Greeting 220, USER (230, or 331 and PASS with 230), TYPE I with any reply.
// False at the first missing or refused reply; no QUIT is sent then.
bool ftp_login(int ctl, ftp_carry& c, ftp_reply_buf& buf, const char* user, const char* pass);

}  // namespace kestrel

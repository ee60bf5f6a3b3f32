// SPDX-License-Identifier: ISC
// Download of one ftp:// URL with a cap of the caller's.
#pragma once

namespace kestrel {

// The C interface's ftp_transfer with at most cap bytes accepted: a SIZE
// figure above it fails at once, and a transfer that passes it (with or
// without a SIZE figure) fails at the read that crosses it, unwritten.
int ftp_transfer(const char* url, const char* ofile, void (*dl_status)(int), long long cap);

}  // namespace kestrel

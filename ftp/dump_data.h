// SPDX-License-Identifier: ISC
// Copy of a data connection into the output file, with the progress meter.
#pragma once

#include <cstdio>

namespace kestrel {

struct ftp_url;

// Reads sock (2047 bytes at most per read) until the server closes it,
// writing to out's descriptor and redrawing the meter after every read.
// 1 when the connection ended normally, every write succeeded and, when a
// size was announced, at least that many bytes arrived; else 0.  A read that
// takes the count past limit ends the copy at once with 0 and is not
// written, and so does a stalled connection.  Closes sock.
int dump_data(int sock, int outfile_size, long long limit, FILE* out, const ftp_url* u, void (*dl_status)(int));

}  // namespace kestrel

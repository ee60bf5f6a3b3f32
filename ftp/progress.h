// SPDX-License-Identifier: ISC
// Self-overwriting progress line on stderr for one FTP retrieval.
#pragma once

#include <cstddef>
#include <cstdio>

namespace kestrel {

struct ftp_url;

struct ftp_progress {
    int length;          // announced size; 0 selects the spinner
    int current;         // bytes received so far
    int percent;         // last percentage reported to the callback
    int max_hashes;      // bar width: 25 with a size, 0 without
    unsigned char frame; // spinner step
    double start_time;
    char outfile[25];    // first 24 characters of the remote file name
};

// Installed as the (fully buffered) buffer of stderr by progress_init.
extern char output_buf[4096];

void progress_init(ftp_progress* p, const ftp_url* u, int len, void (*dl_status)(int));
void progress_update(ftp_progress* p, int increment, void (*dl_status)(int));
void progress_fini(ftp_progress* p, void (*dl_status)(int));

double double_time();
void repchar(FILE* fp, char ch, int count);

// The drawing steps with the elapsed time given, so that the exact text can
// be checked; progress_update and progress_fini pass the real clock.
void progress_draw(ftp_progress* p, int increment, void (*dl_status)(int), double elapsed);
void progress_summary(const ftp_progress* p, double elapsed);


}  // namespace kestrel

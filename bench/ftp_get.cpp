// SPDX-License-Identifier: ISC
// Drives one ftp_transfer from the command line, for the server tests and
// the benchmark.
//   ftp_get [--percent] URL OUTPUT|-
// OUTPUT "-" passes no output name (the remote name is used, in the cwd);
// --percent prints each progress figure the callback gets, one per line.
// Exit status: 0 for 1 (done), 1 for 0 (failed), 3 for -1 (SIZE 550), 2 usage.
#include <cstdio>
#include <cstring>

#include <kestrel/ftp.h>

namespace {
void print_percent(int pct) { std::printf("%d\n", pct); }
}  // namespace

int main(int argc, char** argv) {
    bool percent = argc > 1 && std::strcmp(argv[1], "--percent") == 0;
    if (argc != 3 + percent) {
        std::fputs("usage: ftp_get [--percent] URL OUTPUT|-\n", stderr);
        return 2;
    }
    const char* url = argv[1 + percent];
    const char* out = std::strcmp(argv[2 + percent], "-") == 0 ? nullptr : argv[2 + percent];
    int rc = ftp_transfer(url, out, percent ? print_percent : nullptr);
    std::fflush(stdout);
    return rc == 1 ? 0 : rc == -1 ? 3 : 1;
}

// SPDX-License-Identifier: ISC
// Drives one ftp_scan from the command line, for the server tests.
//   ftp_scan HOST PATH|- OUTPUT|-     ("-": none given)
// Exit status: 0 when ftp_scan returned 1, 1 when it returned 0, 2 usage.
#include <cstdio>
#include <cstring>

#include <kestrel/ftp.h>

namespace {
const char* arg(const char* a) { return std::strcmp(a, "-") == 0 ? nullptr : a; }
}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: ftp_scan HOST PATH|- OUTPUT|-\n", stderr);
        return 2;
    }
    return ftp_scan(argv[1], arg(argv[2]), arg(argv[3])) == 1 ? 0 : 1;
}

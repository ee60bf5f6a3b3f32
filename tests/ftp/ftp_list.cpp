// Drives one ftp_scan for the sandbox tests.
//   ftp_list HOST PATH|- OUT|-     ("-": none given)
// Exit status 0 only when ftp_scan returned 1; 2 on wrong usage.
#include <cstdio>
#include <cstring>

#include <kestrel/ftp.h>

namespace {
const char* arg(const char* a) { return std::strcmp(a, "-") == 0 ? nullptr : a; }
}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: ftp_list HOST PATH|- OUT|-\n", stderr);
        return 2;
    }
    return ftp_scan(argv[1], arg(argv[2]), arg(argv[3])) == 1 ? 0 : 1;
}

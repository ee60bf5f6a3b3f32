// Benchmark driver: one ftp_transfer, exit status 0 only on success.
#include <cstdio>

#include <kestrel/ftp.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: ftp_get URL OUTPUT\n", stderr);
        return 2;
    }
    return ftp_transfer(argv[1], argv[2], nullptr) == 1 ? 0 : 1;
}

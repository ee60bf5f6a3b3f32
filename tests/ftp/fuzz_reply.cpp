// SPDX-License-Identifier: ISC
// Replies read off a socket, and the PASV numbers and EPSV port parsers.
// The input is cut into separate reads at each 0xff byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ftp/control.h"
#include "ftp/data_conn.h"

using namespace kestrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) return 0;
    size_t start = 0;
    for (size_t i = 0; i <= size; ++i) {
        if (i == size || data[i] == 0xff) {
            if (i > start && send(fds[1], data + start, i - start, MSG_DONTWAIT) < 0) break;
            start = i + 1;
        }
    }
    close(fds[1]);
    ftp_carry carry{};
    ftp_reply_buf buf;
    while (char* line = get_line(fds[0], carry, buf)) {
        if (line < buf || line >= buf + sizeof buf) abort();
        if (std::strlen(line) >= sizeof buf) abort();
        if (check_numeric("227", line)) {
            sockaddr_in sa;
            pasv_address(line, &sa);
        }
        unsigned short port = 0;
        if (epsv_port(line, &port) && port == 0) abort();
        char* p = line;
        for (int i = 0; i < 8 && p; ++i) numeric(&p);
    }
    close(fds[0]);
    return 0;
}

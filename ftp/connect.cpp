// SPDX-License-Identifier: ISC
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>

#include "ftp/control.h"
#include <kestrel/config.h>
#include <kestrel/resolv.h>
#include "internal/kol_log.h"
#include "internal/sock_addr.h"
#include "internal/unique_fd.h"
#include "resolv/name_servers.h"

namespace kestrel {

namespace {
// The server's addresses: the configured one, or those the host resolves
// to.  A configured value that is no address is all ones, as it always was.
int server_addresses(const char* host, resolv_addresses* r) {
    if (config_match("oru_ftp_ip", "")) return resolve_dns_all(host, r);
    if (!address_literal(config_get("oru_ftp_ip"), r)) {
        r->v4[0] = INADDR_NONE;
        r->v4_count = 1;
    }
    return r->v4_count + r->v6_count;
}

// The n-th address of r, the IPv4 ones first, with the FTP port.
sock_addr nth_address(const resolv_addresses& r, int n) {
    sock_addr sa{};
    if (n < r.v4_count) {
        sa.v4.sin_family = AF_INET;
        sa.v4.sin_addr.s_addr = r.v4[n];
    } else {
        n -= r.v4_count;
        sa.v6.sin6_family = AF_INET6;
        std::memcpy(&sa.v6.sin6_addr, r.v6[n], sizeof sa.v6.sin6_addr);
        sa.v6.sin6_scope_id = r.v6_scope[n];
    }
    set_sock_addr_port(sa, ftp_port);
    return sa;
}

}  // namespace

int ftp_connect(const char* host) {
    resolv_addresses r;
    const int count = server_addresses(host, &r);
    if (count == 0) {
        KOL_LOG("Can't resovle the host : %s IP!", host);
        return -1;
    }
    // Each address in turn until one connects, each within the timeout.
    for (int i = 0; i < count; ++i) {
        const sock_addr sa = nth_address(r, i);
        char shown[INET6_ADDRSTRLEN];
        KOL_LOG("Host: %s, Inet: %s", host, sock_addr_text(sa, shown));

        unique_fd sock(socket(sa.sa.sa_family, SOCK_STREAM, 0));
        if (!sock.valid()) continue;
        set_timeo(sock.get());

        int flags = fcntl(sock.get(), F_GETFL, 0);
        if (flags < 0 || fcntl(sock.get(), F_SETFL, flags | O_NONBLOCK) < 0) {
            KOL_LOG("fcntl failed");
            continue;
        }

        if (connect(sock.get(), &sa.sa, sock_addr_len(sa)) == 0) {
            KOL_LOG("connection OK at once");
            fcntl(sock.get(), F_SETFL, flags);
            return sock.release();
        }
        if (errno != EINPROGRESS) {
            KOL_LOG("Can't connect to HOST: %s!", host);
            continue;
        }

        // select() cannot watch a descriptor beyond its set.
        if (sock.get() >= FD_SETSIZE) {
            sock.reset();
            KOL_LOG("select error");
            continue;
        }
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(sock.get(), &writable);
        timeval tv{ftp_connect_timeout, 0};
        int ready = select(sock.get() + 1, nullptr, &writable, nullptr, &tv);
        if (ready <= 0) {
            sock.reset();
            KOL_LOG(ready < 0 ? "select error" : "connect timeout");
            continue;
        }
        int pending = 0;
        socklen_t len = sizeof pending;
        if (getsockopt(sock.get(), SOL_SOCKET, SO_ERROR, &pending, &len) < 0 || pending != 0) continue;
        fcntl(sock.get(), F_SETFL, flags);
        return sock.release();
    }
    return -1;
}

}  // namespace kestrel

// SPDX-License-Identifier: ISC
// A peer's socket address in either family, as the resolver and the FTP
// client pass it to connect, sendto and bind.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <bit>
#include <cstdint>

namespace kestrel {

// Between host and network byte order, either way, in line: musl's htons and
// kin are library calls, each one more import in the daemon.
constexpr uint16_t net_order16(uint16_t v) {
    return std::endian::native == std::endian::big ? v : __builtin_bswap16(v);
}
constexpr uint32_t net_order32(uint32_t v) {
    return std::endian::native == std::endian::big ? v : __builtin_bswap32(v);
}

union sock_addr {
    sockaddr sa;
    sockaddr_in v4;
    sockaddr_in6 v6;
};

inline socklen_t sock_addr_len(const sock_addr& a) {
    return a.sa.sa_family == AF_INET6 ? sizeof a.v6 : sizeof a.v4;
}

inline unsigned short sock_addr_port(const sock_addr& a) {
    return net_order16(a.sa.sa_family == AF_INET6 ? a.v6.sin6_port : a.v4.sin_port);
}

inline void set_sock_addr_port(sock_addr& a, unsigned short port) {
    if (a.sa.sa_family == AF_INET6)
        a.v6.sin6_port = net_order16(port);
    else
        a.v4.sin_port = net_order16(port);
}

// The same host: family and address, and the interface when both name one
// (a link-local peer answers with the scope of the interface it came in on).
bool same_host(const sock_addr& a, const sock_addr& b);

// The address without port or zone, as inet_ntop writes it.
const char* sock_addr_text(const sock_addr& a, char (&buf)[INET6_ADDRSTRLEN]);

}  // namespace kestrel

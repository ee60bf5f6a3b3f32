// SPDX-License-Identifier: ISC
#include "internal/sock_addr.h"

#include <cstring>

namespace kestrel {

bool same_host(const sock_addr& a, const sock_addr& b) {
    if (a.sa.sa_family != b.sa.sa_family) return false;
    if (a.sa.sa_family == AF_INET) return a.v4.sin_addr.s_addr == b.v4.sin_addr.s_addr;
    if (a.sa.sa_family != AF_INET6) return false;
    if (a.v6.sin6_scope_id && b.v6.sin6_scope_id && a.v6.sin6_scope_id != b.v6.sin6_scope_id) return false;
    return std::memcmp(&a.v6.sin6_addr, &b.v6.sin6_addr, sizeof a.v6.sin6_addr) == 0;
}

const char* sock_addr_text(const sock_addr& a, char (&buf)[INET6_ADDRSTRLEN]) {
    const void* addr = a.sa.sa_family == AF_INET6 ? static_cast<const void*>(&a.v6.sin6_addr)
                                                  : static_cast<const void*>(&a.v4.sin_addr);
    if (!inet_ntop(a.sa.sa_family, addr, buf, sizeof buf)) buf[0] = '\0';
    return buf;
}

}  // namespace kestrel

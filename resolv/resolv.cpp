#include <kestrel/resolv.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <cstring>

#include "resolv/dns_message.h"
#include "resolv/name_servers.h"
#include "internal/kol_log.h"
#include "internal/unique_fd.h"

using namespace kestrel;

namespace {
constexpr int attempts_per_server = 3;
constexpr int reply_wait_seconds = 3;
constexpr int first_id = 1313;

// Waits for a reply on fd; true when one can be read.
bool wait_readable(int fd) {
    if (fd >= FD_SETSIZE) return false;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    timeval timeo{reply_wait_seconds, 0};
    return select(fd + 1, &readable, nullptr, nullptr, &timeo) > 0;
}

unsigned int dns_lookup(const char* name) {
    unsigned char packet[dns_packet_size];
    // Refuse names that cannot go on the wire before anything is sent.
    if (dns_build_query(packet, 0, name) < 0) {
        KOL_LOG("DNS-LOOKUP: cannot encode the name %s", name);
        return 0;
    }

    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_port = htons(53);

    dns_server_list dnsl;
    const int count = read_name_servers("/tmp/resolv.conf", dnsl);
    if (count == 0) {
        KOL_LOG("DNS-LOOKUP: no dns server address in /tmp/resolv.conf");
        return 0;
    }

    int local_id = first_id;
    unique_fd fd;
    // The server read last is asked first.
    for (int s = count - 1; s >= 0; --s) {
        KOL_LOG("DNS-LOOKUP dns : %s", dnsl[s]);
        dest.sin_addr.s_addr = leading_address(dnsl[s]);
        for (int retries = 0; retries < attempts_per_server; ++retries) {
            if (!fd.valid()) {
                fd.reset(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
                if (!fd.valid()) continue;
            }
            ++local_id;
            const int qlen = dns_build_query(packet, local_id, name);
            const ssize_t sent = sendto(fd.get(), packet, static_cast<size_t>(qlen), 0,
                                        reinterpret_cast<const sockaddr*>(&dest), sizeof dest);
            if (sent <= 0) continue;
            if (!wait_readable(fd.get())) continue;
            const ssize_t got = recvfrom(fd.get(), packet, sizeof packet, 0, nullptr, nullptr);
            if (got < 12) continue;
            unsigned int address = 0;
            if (dns_reply_address(packet, static_cast<int>(got), local_id, &address))
                return address;
        }
    }
    return 0;
}
}  // namespace

unsigned int resolve_dns(const char* host) {
    if (!host) return 0;
    const in_addr_t addr = leading_address(host);
    if (addr != INADDR_NONE) return addr;
    return dns_lookup(host);
}

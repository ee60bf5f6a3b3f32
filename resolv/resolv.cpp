#include <kestrel/resolv.h>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "resolv/dns_message.h"
#include "resolv/name_servers.h"
#include "internal/kol_log.h"
#include "internal/kernel_random.h"
#include "internal/unique_fd.h"

using namespace kestrel;

namespace {
constexpr int attempts_per_server = 3;
constexpr int reply_wait_ms = 3000;
constexpr int max_attempts = attempts_per_server * dns_max_servers;

long long now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Query IDs nobody can guess, none used twice in one lookup.
struct query_ids {
    unsigned char random[2 * max_attempts];
    int used[max_attempts];
    int count = 0;
};

int next_id(query_ids& q) {
    int id = q.random[2 * q.count] << 8 | q.random[2 * q.count + 1];
    for (int i = 0; i < q.count; ++i)
        if (q.used[i] == id) {
            id = (id + 1) & 0xFFFF;
            i = -1;
        }
    q.used[q.count++] = id;
    return id;
}

bool same_sender(const sockaddr_in& from, const sockaddr_in& dest) {
    return from.sin_family == AF_INET && from.sin_addr.s_addr == dest.sin_addr.s_addr &&
           from.sin_port == dest.sin_port;
}

// Waits the rest of the 3 seconds for the reply to this query: datagrams
// from another sender, or that answer another ID or question, are dropped
// and the wait goes on.  True with *address when the reply carries an A/IN
// record; false when the attempt is spent.
bool await_reply(int fd, const sockaddr_in& dest, const unsigned char* query, int qlen, unsigned int* address) {
    unsigned char reply[dns_packet_size];
    const long long deadline = now_ms() + reply_wait_ms;
    for (;;) {
        long long left = deadline - now_ms();
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        sockaddr_in from{};
        socklen_t from_len = sizeof from;
        const ssize_t got = recvfrom(fd, reply, sizeof reply, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                                     &from_len);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
        if (got < 0) return false;
        if (!same_sender(from, dest) || !dns_reply_matches(reply, static_cast<int>(got), query, qlen)) continue;
        return dns_reply_address(reply, static_cast<int>(got), query[0] << 8 | query[1], address);
    }
}

unsigned int dns_lookup(const char* name) {
    // One trailing dot marks a fully qualified name; the query is the same.
    char bare[dns_name_max + 1];
    size_t len = std::strlen(name);
    if (len > 0 && name[len - 1] == '.') --len;
    unsigned char query[dns_packet_size];
    if (len < sizeof bare) {
        std::memcpy(bare, name, len);
        bare[len] = '\0';
    }
    // Refuse names that cannot go on the wire before anything is sent.
    if (len >= sizeof bare || dns_build_query(query, 0, bare) < 0) {
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

    query_ids ids;
    if (!kernel_random(ids.random, sizeof ids.random)) {
        KOL_LOG("DNS-LOOKUP: no random source for query IDs");
        return 0;
    }
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
            const int qlen = dns_build_query(query, next_id(ids), bare);
            const ssize_t sent = sendto(fd.get(), query, static_cast<size_t>(qlen), 0,
                                        reinterpret_cast<const sockaddr*>(&dest), sizeof dest);
            if (sent <= 0) continue;
            unsigned int address = 0;
            if (await_reply(fd.get(), dest, query, qlen, &address)) return address;
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

// SPDX-License-Identifier: ISC
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
#include "internal/sock_addr.h"
#include "internal/unique_fd.h"

using namespace kestrel;

namespace {
constexpr int attempts_per_server = 3;
constexpr int reply_wait_ms = 3000;
// Every A attempt, and the one AAAA attempt after them.
constexpr int max_attempts = attempts_per_server * dns_max_servers + 1;
constexpr int max_per_family = 4;

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

// A stored server string as a destination: an IPv6 address when it reads as
// one, else as IPv4 (all ones for anything else, as it always was).
void server_address(const char* text, sock_addr* dest) {
    *dest = sock_addr{};
    unsigned scope = 0;
    if (ipv6_literal(text, &dest->v6.sin6_addr, &scope)) {
        dest->v6.sin6_family = AF_INET6;
        dest->v6.sin6_scope_id = scope;
    } else {
        dest->v4.sin_family = AF_INET;
        dest->v4.sin_addr.s_addr = leading_address(text);
    }
    set_sock_addr_port(*dest, 53);
}

// Waits until fd is ready for events, at most until deadline.
bool wait_ready(int fd, short events, long long deadline) {
    for (;;) {
        long long left = deadline - now_ms();
        if (left <= 0) return false;
        pollfd p{fd, events, 0};
        int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        return ready > 0;
    }
}

// What one question brought: the addresses found, and whether the server
// answered it without an error (it then gets the AAAA question).
struct asked {
    int found;
    bool answered;
};

asked judge(const unsigned char* reply, int len, const unsigned char* query, int qlen, int qtype,
            unsigned char* out) {
    if (!dns_reply_matches(reply, len, query, qlen)) return {0, false};
    const bool answered = (reply[2] & 0x80) && (reply[3] & 0x0F) == 0;
    return {dns_reply_addresses(reply, len, query[0] << 8 | query[1], qtype, out, max_per_family), answered};
}

// The question of a truncated reply again, to the same server over TCP, by
// the same deadline.  Anything that goes wrong spends the attempt.
asked ask_over_tcp(const sock_addr& dest, const unsigned char* query, int qlen, int qtype, long long deadline,
                   unsigned char* out) {
    unique_fd fd(socket(dest.sa.sa_family, SOCK_STREAM | SOCK_NONBLOCK, 0));
    if (!fd.valid()) return {0, false};
    if (connect(fd.get(), &dest.sa, sock_addr_len(dest)) != 0 && errno != EINPROGRESS) return {0, false};
    int pending = 0;
    socklen_t plen = sizeof pending;
    if (!wait_ready(fd.get(), POLLOUT, deadline) ||
        getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &pending, &plen) != 0 || pending != 0)
        return {0, false};
    unsigned char framed[2 + dns_packet_size];
    framed[0] = static_cast<unsigned char>(qlen >> 8);
    framed[1] = static_cast<unsigned char>(qlen & 0xFF);
    std::memcpy(framed + 2, query, static_cast<size_t>(qlen));
    // A fresh connection's buffer takes the few bytes of a query at once.
    if (send(fd.get(), framed, static_cast<size_t>(qlen) + 2, MSG_NOSIGNAL) != qlen + 2) return {0, false};

    unsigned char reply[2 + dns_tcp_max];
    int got = 0;
    for (int want; (want = dns_tcp_wanted(reply, got)) > 0;) {
        if (!wait_ready(fd.get(), POLLIN, deadline)) return {0, false};
        const ssize_t n = recv(fd.get(), reply + got, static_cast<size_t>(want), 0);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
        if (n <= 0) return {0, false};
        got += static_cast<int>(n);
    }
    return judge(reply + 2, got - 2, query, qlen, qtype, out);
}

// Waits the rest of the 3 seconds for the reply to this query: datagrams
// from another sender, or that answer another ID or question, are dropped
// and the wait goes on.  A truncated reply is never used: the question goes
// over TCP instead.
asked await_reply(int fd, const sock_addr& dest, const unsigned char* query, int qlen, int qtype,
                  unsigned char* out) {
    unsigned char reply[dns_packet_size];
    const long long deadline = now_ms() + reply_wait_ms;
    for (;;) {
        if (!wait_ready(fd, POLLIN, deadline)) return {0, false};
        sock_addr from{};
        socklen_t from_len = sizeof from;
        const ssize_t got = recvfrom(fd, reply, sizeof reply, MSG_DONTWAIT, &from.sa, &from_len);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
        if (got < 0) return {0, false};
        if (!same_host(from, dest) || sock_addr_port(from) != 53 ||
            !dns_reply_matches(reply, static_cast<int>(got), query, qlen))
            continue;
        if (reply[2] & 0x02) return ask_over_tcp(dest, query, qlen, qtype, deadline, out);
        return judge(reply, static_cast<int>(got), query, qlen, qtype, out);
    }
}

// One attempt: the question of qtype for name to dest, on the lookup's
// socket of dest's family (opened at its first use).
asked ask(unique_fd (&udp)[2], const sock_addr& dest, int id, const char* name, int qtype, unsigned char* out) {
    unique_fd& fd = udp[dest.sa.sa_family == AF_INET6];
    if (!fd.valid()) {
        fd.reset(socket(dest.sa.sa_family, SOCK_DGRAM, IPPROTO_UDP));
        if (!fd.valid()) return {0, false};
    }
    unsigned char query[dns_packet_size];
    const int qlen = dns_build_query(query, id, name, qtype);
    const ssize_t sent = sendto(fd.get(), query, static_cast<size_t>(qlen), 0, &dest.sa, sock_addr_len(dest));
    if (sent <= 0) return {0, false};
    return await_reply(fd.get(), dest, query, qlen, qtype, out);
}

// The A question as it always was: each server, the one read last first,
// up to 3 attempts, until one gives A records.  With aaaa, then the AAAA
// question, once, to the last server that answered the A question.
int dns_lookup(const char* name, bool aaaa, resolv_addresses* r) {
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
    unique_fd udp[2];
    sock_addr dest;
    int answered = -1;
    // The server read last is asked first.
    for (int s = count - 1; s >= 0 && r->v4_count == 0; --s) {
        KOL_LOG("DNS-LOOKUP dns : %s", dnsl[s]);
        server_address(dnsl[s], &dest);
        for (int retries = 0; retries < attempts_per_server && r->v4_count == 0; ++retries) {
            const asked a = ask(udp, dest, next_id(ids), bare, dns_type_a, reinterpret_cast<unsigned char*>(r->v4));
            if (a.answered) answered = s;
            r->v4_count = a.found;
        }
    }
    if (aaaa && answered >= 0) {
        server_address(dnsl[answered], &dest);
        r->v6_count = ask(udp, dest, next_id(ids), bare, dns_type_aaaa, r->v6[0]).found;
    }
    return r->v4_count + r->v6_count;
}
}  // namespace

unsigned int resolve_dns(const char* host) {
    if (!host) return 0;
    const in_addr_t addr = leading_address(host);
    if (addr != INADDR_NONE) return addr;
    resolv_addresses r{};
    dns_lookup(host, false, &r);
    return r.v4_count ? r.v4[0] : 0;
}

int resolve_dns_all(const char* host, resolv_addresses* out) {
    if (!out) return 0;
    *out = resolv_addresses{};
    if (!host) return 0;
    if (address_literal(host, out)) return out->v4_count + out->v6_count;
    return dns_lookup(host, true, out);
}

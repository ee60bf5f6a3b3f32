// SPDX-License-Identifier: ISC
#include "ftp/data_conn.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "internal/kol_log.h"
#include "internal/sock_addr.h"
#include "internal/text_builder.h"
#include "internal/unique_fd.h"

namespace kestrel {

namespace {
bool digit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

// Address of the server at the other end of the control connection.
bool control_peer(int ctlsock, sock_addr* peer) {
    *peer = sock_addr{};
    socklen_t len = sizeof *peer;
    return getpeername(ctlsock, &peer->sa, &len) == 0 &&
           (peer->sa.sa_family == AF_INET || peer->sa.sa_family == AF_INET6);
}
}  // namespace

int sock_init(sock_addr* sa, int ctlsock) {
    *sa = sock_addr{};
    socklen_t len = sizeof *sa;
    getsockname(ctlsock, &sa->sa, &len);
    unique_fd sock(socket(sa->sa.sa_family == AF_INET6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0));
    if (!sock.valid()) return -1;
    set_sock_addr_port(*sa, 0);
    if (bind(sock.get(), &sa->sa, sock_addr_len(*sa)) < 0) return -1;
    set_timeo(sock.get());
    return sock.release();
}

int numeric(char** string) {
    if (!*string) return 0;
    char* p = *string;
    if (*p == '\0') {
        *string = nullptr;
        return 0;
    }
    if (!digit(*p)) {
        *string = p + 1;
        return 0;
    }
    // Unsigned so that a long run of digits wraps instead of overflowing;
    // callers keep only the low byte.
    unsigned value = 0;
    while (digit(*p)) value = value * 10 + static_cast<unsigned>(*p++ - '0');
    *string = *p == '\0' ? nullptr : p + 1;
    return static_cast<int>(value);
}

bool pasv_address(char* reply, sockaddr_in* sa) {
    // The numbers start after the code and the character that follows it.
    char* p = reply;
    for (int i = 0; i < 4 && *p; ++i) ++p;
    while (*p && !digit(*p)) ++p;
    if (!*p) return false;
    unsigned char b[6];
    for (unsigned char& v : b) v = static_cast<unsigned char>(numeric(&p));
    *sa = sockaddr_in{};
    sa->sin_family = AF_INET;
    sa->sin_addr.s_addr = net_order32(static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 |
                                      static_cast<uint32_t>(b[2]) << 8 | b[3]);
    sa->sin_port = net_order16(static_cast<uint16_t>(b[4] << 8 | b[5]));
    return true;
}

bool epsv_port(const char* reply, unsigned short* port) {
    const char* p = std::strchr(reply, '(');
    if (!p) return false;
    // (<d><d><d>port<d>), d any printable character but a digit.
    const char d = p[1];
    if (d < 33 || d > 126 || digit(d) || p[2] != d || p[3] != d) return false;
    p += 4;
    unsigned value = 0;
    int digits = 0;
    for (; digit(*p) && digits < 5; ++p, ++digits) value = value * 10 + static_cast<unsigned>(*p - '0');
    if (digits == 0 || *p != d || value == 0 || value > 65535) return false;
    *port = static_cast<unsigned short>(value);
    return true;
}

int get_passive_sock(int ctlsock, ftp_carry& c) {
    // Over IPv6 the extended command, which names no address at all.
    sock_addr peer{};
    const bool have_peer = control_peer(ctlsock, &peer);
    const bool v6 = peer.sa.sa_family == AF_INET6;
    ftp_reply_buf buf;
    char* reply = ftp_command(ctlsock, c, buf, v6 ? "EPSV\r\n" : "PASV\r\n", nullptr);
    if (!reply || !check_numeric(v6 ? "229" : "227", reply)) return -1;
    sock_addr sa{};
    unique_fd sock(sock_init(&sa, ctlsock));
    if (!sock.valid()) return -1;
    unsigned short port = 0;
    if (v6 ? !epsv_port(reply, &port) : !pasv_address(reply, &sa.v4)) return -1;
    // Only the port is taken from the reply: the data come from the server
    // we logged in to, never from an address it names.
    if (!have_peer) return -1;
    if (v6) {
        sa = peer;
        set_sock_addr_port(sa, port);
    } else if (sa.v4.sin_addr.s_addr != peer.v4.sin_addr.s_addr) {
        char named[INET6_ADDRSTRLEN], used[INET6_ADDRSTRLEN];
        KOL_LOG("PASV address %s ignored, connecting to %s", sock_addr_text(sa, named), sock_addr_text(peer, used));
        sa.v4.sin_addr = peer.v4.sin_addr;
    }
    if (connect(sock.get(), &sa.sa, sock_addr_len(sa)) == 0) return sock.release();
    char shown[INET6_ADDRSTRLEN];
    KOL_LOG(v6 ? "connect to [%s]:%u failed!" : "connect to %s:%u failed!", sock_addr_text(sa, shown),
            static_cast<unsigned>(sock_addr_port(sa)));
    return -1;
}

bool port_command(char* line, unsigned size, const sockaddr_in& sa) {
    uint32_t a = net_order32(sa.sin_addr.s_addr);
    unsigned port = net_order16(sa.sin_port);
    return bounded_format(line, size, "PORT %d,%d,%d,%d,%d,%d\r\n", static_cast<int>(a >> 24),
                          static_cast<int>(a >> 16 & 0xff), static_cast<int>(a >> 8 & 0xff),
                          static_cast<int>(a & 0xff), static_cast<int>(port >> 8),
                          static_cast<int>(port & 0xff));
}

bool eprt_command(char* line, unsigned size, const sockaddr_in6& sa) {
    char text[INET6_ADDRSTRLEN];
    if (!inet_ntop(AF_INET6, &sa.sin6_addr, text, sizeof text)) return false;
    return bounded_format(line, size, "EPRT |2|%s|%u|\r\n", text, static_cast<unsigned>(net_order16(sa.sin6_port)));
}

int get_sock(int ctlsock, ftp_carry& c) {
    sock_addr sa{};
    unique_fd sock(sock_init(&sa, ctlsock));
    if (!sock.valid()) return -1;
    if (listen(sock.get(), 0) < 0) return -1;
    socklen_t len = sizeof sa;
    getsockname(sock.get(), &sa.sa, &len);
    char line[256];
    // PORT cannot name an IPv6 address.
    if (sa.sa.sa_family == AF_INET6 ? !eprt_command(line, sizeof line, sa.v6) : !port_command(line, sizeof line, sa.v4))
        return -1;
    ftp_reply_buf buf;
    char* reply = ftp_command(ctlsock, c, buf, line, nullptr);
    if (!reply || !check_numeric("200", reply)) return -1;
    return sock.release();
}

int open_data_conn(int ctlsock, ftp_carry& c, int* passive) {
    int sock = get_passive_sock(ctlsock, c);
    *passive = sock >= 0;
    if (sock < 0) sock = get_sock(ctlsock, c);
    return sock;
}

int accept_data_conn(int listen_sock, int ctlsock) {
    unique_fd listener(listen_sock);
    sock_addr peer{};
    if (!control_peer(ctlsock, &peer)) return -1;
    // Non-blocking, so that a connection reset between poll and accept
    // cannot leave accept waiting past the deadline.
    int flags = fcntl(listener.get(), F_GETFL, 0);
    if (flags < 0 || fcntl(listener.get(), F_SETFL, flags | O_NONBLOCK) < 0) return -1;
    const long long deadline = ftp_now_ms() + ftp_sock_timeout * 1000LL;
    for (;;) {
        long long left = deadline - ftp_now_ms();
        if (left <= 0) return -1;
        pollfd p{listener.get(), POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno != EINTR) return -1;
        if (ready <= 0) continue;
        sock_addr from{};
        socklen_t len = sizeof from;
        unique_fd sock(accept(listener.get(), &from.sa, &len));
        if (!sock.valid()) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED || errno == EINTR) continue;
            return -1;
        }
        if (same_host(from, peer)) {
            // Accepted sockets do not inherit O_NONBLOCK on Linux; make sure.
            int f = fcntl(sock.get(), F_GETFL, 0);
            if (f >= 0) fcntl(sock.get(), F_SETFL, f & ~O_NONBLOCK);
            set_timeo(sock.get());
            return sock.release();
        }
        char shown[INET6_ADDRSTRLEN];
        KOL_LOG("data connection from %s refused", sock_addr_text(from, shown));
    }
}

void data_rate_start(data_rate& r, long long now_ms) { r = data_rate{now_ms + 1000, 0, 0, {}}; }

bool data_rate_ok(data_rate& r, long long now_ms, long long n) {
    constexpr unsigned slots = data_stall_seconds + 1;
    // Each second begun opens the next slot of the ring, emptied.  Counted
    // one by one rather than divided out: a division would link libgcc's
    // divide routine into the router's build for this alone.
    while (now_ms >= r.next_ms) {
        r.next_ms += 1000;
        if (r.seconds < data_stall_seconds) ++r.seconds;
        r.newest = r.newest + 1 == slots ? 0 : r.newest + 1;
        r.slot[r.newest] = 0;
    }
    r.slot[r.newest] += n;
    if (r.seconds < data_stall_seconds) return true;
    long long sum = 0;
    for (long long v : r.slot) sum += v;
    return sum >= data_stall_bytes;
}

ssize_t data_read(int sock, char* buf, std::size_t size, data_rate& r) {
    for (;;) {
        // Read first: while data flow, no wait is needed.
        ssize_t n = recv(sock, buf, size, MSG_DONTWAIT);
        if (n == 0) return 0;
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
            n = 0;
            pollfd p{sock, POLLIN, 0};
            if (poll(&p, 1, 1000) < 0 && errno != EINTR) return -1;
        }
        if (!data_rate_ok(r, ftp_now_ms(), n)) {
            KOL_LOG("data connection stalled: under %lld bytes in %d s", data_stall_bytes, data_stall_seconds);
            return -1;
        }
        if (n > 0) return n;
    }
}

bool is_transfer_complete(const char* reply) {
    return reply && (check_numeric("226", reply) || check_numeric("250", reply));
}

void remove_failed_output(unique_file& out, const char* path) {
    struct stat st {};
    bool regular = out && fstat(fileno(out.get()), &st) == 0 && S_ISREG(st.st_mode);
    out.reset();
    if (regular) unlink(path);
}

}  // namespace kestrel

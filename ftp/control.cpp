// SPDX-License-Identifier: ISC
#include "ftp/control.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace kestrel {

void set_timeo(int sock) {
    timeval tv{ftp_sock_timeout, 0};
    setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

long long ftp_now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int lstrcpy(char* dest, const char* src) {
    std::size_t n = std::strlen(src);
    std::memcpy(dest, src, n + 1);
    return static_cast<int>(n);
}

int send_control(int sock, const char* string, ...) {
    char line[ftp_buf_size];
    std::size_t len = 0;
    va_list ap;
    va_start(ap, string);
    for (const char* part = string; part; part = va_arg(ap, const char*)) {
        // Refuse rather than cut: a cut command line would mean something else.
        if (std::strlen(part) >= sizeof line - len) {
            va_end(ap);
            return 0;
        }
        len += static_cast<std::size_t>(lstrcpy(line + len, part));
    }
    va_end(ap);
    // MSG_NOSIGNAL: a server that hung up must not take the process with it.
    ssize_t written = send(sock, line, len, MSG_NOSIGNAL);
    (void)written;
    return 1;
}

namespace {
bool digit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

// Judges one line of the control connection (line ending removed).  True
// when it is the final line of a reply: a code and a space, the same code as
// the "ddd-" line that opened a multi-line reply.  Lines before a reply's
// first line, and its continuation lines, are passed over.
bool final_line(ftp_carry& c, const char* line, std::size_t len) {
    if (len < 4 || !digit(line[0])) return false;
    if (c.open_code[0]) {
        if (line[3] != ' ' || std::memcmp(line, c.open_code, 3) != 0) return false;
        c.open_code[0] = '\0';
        return true;
    }
    if (line[3] == ' ') return true;
    if (line[3] == '-') {
        std::memcpy(c.open_code, line, 3);
        c.open_code[3] = '\0';
    }
    return false;
}

char* copy_line(ftp_reply_buf& buf, const char* line, std::size_t len) {
    if (len > 0 && line[len - 1] == '\r') --len;
    if (len > sizeof buf - 1) len = sizeof buf - 1;
    std::memcpy(buf, line, len);
    buf[len] = '\0';
    return buf;
}

std::size_t without_cr(const char* line, std::size_t len) { return len > 0 && line[len - 1] == '\r' ? len - 1 : len; }
}  // namespace

char* ftp_next_reply(ftp_carry& c, ftp_reply_buf& buf) {
    std::size_t pos = 0;
    char* reply = nullptr;
    while (!reply && pos < c.fill) {
        char* start = c.data + pos;
        char* lf = static_cast<char*>(std::memchr(start, '\n', c.fill - pos));
        if (!lf) {
            // A line that fills the whole buffer is judged by what fits; the
            // rest of it, up to its line feed, is dropped as it comes.
            if (pos == 0 && c.fill == sizeof c.data) {
                if (!c.skipping && final_line(c, start, c.fill)) reply = copy_line(buf, start, c.fill);
                c.skipping = true;
                pos = c.fill;
            }
            break;
        }
        std::size_t len = static_cast<std::size_t>(lf - start);
        pos += len + 1;
        if (c.skipping) {
            c.skipping = false;
            continue;
        }
        if (final_line(c, start, without_cr(start, len))) reply = copy_line(buf, start, len);
    }
    // What follows stays for the next reply.
    std::memmove(c.data, c.data + pos, c.fill - pos);
    c.fill -= pos;
    return reply;
}

char* ftp_last_reply(ftp_carry& c, ftp_reply_buf& buf) {
    if (c.skipping || c.fill == 0) return nullptr;
    std::size_t len = c.fill;
    c.fill = 0;
    if (!final_line(c, c.data, without_cr(c.data, len))) return nullptr;
    return copy_line(buf, c.data, len);
}

char* get_line_within(int ctlsock, ftp_carry& c, ftp_reply_buf& buf, int timeout_ms) {
    // The bound is for the whole reply, however it is cut into reads.
    const long long deadline = ftp_now_ms() + timeout_ms;
    for (;;) {
        if (char* reply = ftp_next_reply(c, buf)) return reply;
        long long left = deadline - ftp_now_ms();
        pollfd p{ctlsock, POLLIN, 0};
        int ready = poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return nullptr;
        ssize_t n = recv(ctlsock, c.data + c.fill, sizeof c.data - c.fill, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
        if (n == 0) return ftp_last_reply(c, buf);
        if (n < 0) return nullptr;
        c.fill += static_cast<std::size_t>(n);
    }
}

char* get_line(int ctlsock, ftp_carry& c, ftp_reply_buf& buf) {
    return get_line_within(ctlsock, c, buf, ftp_sock_timeout * 1000);
}

int check_numeric(const char* numeric, const char* buf) {
    return buf[0] == numeric[0] && buf[1] == numeric[1] && buf[2] == numeric[2];
}

void ftp_quit(int ctlsock) {
    ssize_t written = send(ctlsock, "QUIT\r\n", 6, MSG_NOSIGNAL);
    (void)written;
}

char* ftp_command(int sock, ftp_carry& c, ftp_reply_buf& buf, const char* verb, const char* arg) {
    int sent = arg ? send_control(sock, verb, arg, "\r\n", nullptr) : send_control(sock, verb, nullptr);
    return sent ? get_line(sock, c, buf) : nullptr;
}

}  // namespace kestrel

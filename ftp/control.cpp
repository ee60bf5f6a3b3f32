#include "ftp/control.h"

#include <cctype>
#include <cstdarg>
#include <cstring>
#include <string_view>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace kestrel {

void set_timeo(int sock) {
    timeval tv{ftp_sock_timeout, 0};
    setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
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

// A reply's final line: a digit first and a space as the fourth character.
bool final_line(std::string_view s) { return s.size() >= 4 && digit(s[0]) && s[3] == ' '; }
}  // namespace

char* get_line(int ctlsock, ftp_reply_buf& buf) {
    for (;;) {
        ssize_t n = read(ctlsock, buf, sizeof buf - 1);
        if (n <= 3) return nullptr;
        buf[n] = '\0';
        if (buf[n - 1] == '\n') buf[n - 1] = '\0';
        if (buf[n - 2] == '\r') buf[n - 2] = '\0';
        // Only the text up to the first NUL counts.
        std::string_view text(buf);
        if (final_line(text)) return buf;
        std::size_t lf = text.rfind('\n');
        if (lf != std::string_view::npos && final_line({text.data() + lf + 1, text.size() - lf - 1})) return buf + lf + 1;
        // Continuation lines or no reply code yet: read the next piece.
    }
}

int check_numeric(const char* numeric, const char* buf) {
    return buf[0] == numeric[0] && buf[1] == numeric[1] && buf[2] == numeric[2];
}

void ftp_quit(int ctlsock) {
    ssize_t written = send(ctlsock, "QUIT\r\n", 6, MSG_NOSIGNAL);
    (void)written;
}

char* ftp_command(int sock, ftp_reply_buf& buf, const char* verb, const char* arg) {
    int sent = arg ? send_control(sock, verb, arg, "\r\n", nullptr) : send_control(sock, verb, nullptr);
    return sent ? get_line(sock, buf) : nullptr;
}

}  // namespace kestrel

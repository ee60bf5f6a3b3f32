#include "ftp/data_conn.h"

#include <arpa/inet.h>
#include <cctype>
#include <sys/socket.h>

#include "ftp/control.h"
#include "internal/kol_log.h"
#include "internal/text_builder.h"
#include "internal/unique_fd.h"

namespace kestrel {

namespace {
bool digit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }
}  // namespace

int sock_init(sockaddr_in* sa, int ctlsock) {
    unique_fd sock(socket(AF_INET, SOCK_STREAM, 0));
    if (!sock.valid()) return -1;
    socklen_t len = sizeof *sa;
    getsockname(ctlsock, reinterpret_cast<sockaddr*>(sa), &len);
    sa->sin_port = 0;
    if (bind(sock.get(), reinterpret_cast<sockaddr*>(sa), sizeof *sa) < 0) return -1;
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
    sa->sin_addr.s_addr = htonl(static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 |
                                static_cast<uint32_t>(b[2]) << 8 | b[3]);
    sa->sin_port = htons(static_cast<uint16_t>(b[4] << 8 | b[5]));
    return true;
}

int get_passive_sock(int ctlsock) {
    ftp_reply_buf buf;
    char* reply = ftp_command(ctlsock, buf, "PASV\r\n", nullptr);
    if (!reply || !check_numeric("227", reply)) return -1;
    sockaddr_in sa{};
    unique_fd sock(sock_init(&sa, ctlsock));
    if (!sock.valid()) return -1;
    if (!pasv_address(reply, &sa)) return -1;
    if (connect(sock.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return sock.release();
    KOL_LOG("connect to %s:%u failed!", inet_ntoa(sa.sin_addr), static_cast<unsigned>(ntohs(sa.sin_port)));
    return -1;
}

bool port_command(char* line, unsigned size, const sockaddr_in& sa) {
    uint32_t a = ntohl(sa.sin_addr.s_addr);
    unsigned port = ntohs(sa.sin_port);
    return bounded_format(line, size, "PORT %d,%d,%d,%d,%d,%d\r\n", static_cast<int>(a >> 24),
                          static_cast<int>(a >> 16 & 0xff), static_cast<int>(a >> 8 & 0xff),
                          static_cast<int>(a & 0xff), static_cast<int>(port >> 8),
                          static_cast<int>(port & 0xff));
}

int get_sock(int ctlsock) {
    sockaddr_in sa{};
    unique_fd sock(sock_init(&sa, ctlsock));
    if (!sock.valid()) return -1;
    if (listen(sock.get(), 0) < 0) return -1;
    socklen_t len = sizeof sa;
    getsockname(sock.get(), reinterpret_cast<sockaddr*>(&sa), &len);
    char line[256];
    if (!port_command(line, sizeof line, sa)) return -1;
    ftp_reply_buf buf;
    char* reply = ftp_command(ctlsock, buf, line, nullptr);
    if (!reply || !check_numeric("200", reply)) return -1;
    return sock.release();
}

int open_data_conn(int ctlsock, int* passive) {
    int sock = get_passive_sock(ctlsock);
    *passive = sock >= 0;
    if (sock < 0) sock = get_sock(ctlsock);
    return sock;
}

int accept_data_conn(int listen_sock) {
    unique_fd listener(listen_sock);
    int sock = accept(listener.get(), nullptr, nullptr);
    if (sock >= 0) set_timeo(sock);
    return sock;
}

}  // namespace kestrel

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>

#include "ftp/control.h"
#include <kestrel/config.h>
#include <kestrel/resolv.h>
#include "internal/kol_log.h"
#include "internal/unique_fd.h"
#include "resolv/name_servers.h"

namespace kestrel {

int ftp_connect(const char* host) {
    in_addr_t addr;
    if (config_match("oru_ftp_ip", ""))
        addr = resolve_dns(host);
    else
        addr = leading_address(config_get("oru_ftp_ip"));
    if (addr == 0) {
        KOL_LOG("Can't resovle the host : %s IP!", host);
        return -1;
    }
    in_addr shown{addr};
    KOL_LOG("Host: %s, Inet: %s", host, inet_ntoa(shown));

    unique_fd sock(socket(AF_INET, SOCK_STREAM, 0));
    if (!sock.valid()) return -1;
    set_timeo(sock.get());

    int flags = fcntl(sock.get(), F_GETFL, 0);
    if (flags < 0 || fcntl(sock.get(), F_SETFL, flags | O_NONBLOCK) < 0) {
        KOL_LOG("fcntl failed");
        return -1;
    }

    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(ftp_port);
    sa.sin_addr.s_addr = addr;
    if (connect(sock.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
        KOL_LOG("connection OK at once");
        fcntl(sock.get(), F_SETFL, flags);
        return sock.release();
    }
    if (errno != EINPROGRESS) {
        KOL_LOG("Can't connect to HOST: %s!", host);
        return -1;
    }

    // select() cannot watch a descriptor beyond its set.
    if (sock.get() >= FD_SETSIZE) {
        sock.reset();
        KOL_LOG("select error");
        return -1;
    }
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(sock.get(), &writable);
    timeval tv{ftp_connect_timeout, 0};
    int ready = select(sock.get() + 1, nullptr, &writable, nullptr, &tv);
    if (ready < 0) {
        sock.reset();
        KOL_LOG("select error");
        return -1;
    }
    if (ready == 0) {
        sock.reset();
        KOL_LOG("connect timeout");
        return -1;
    }
    int pending = 0;
    socklen_t len = sizeof pending;
    if (getsockopt(sock.get(), SOL_SOCKET, SO_ERROR, &pending, &len) < 0 || pending != 0) return -1;
    fcntl(sock.get(), F_SETFL, flags);
    return sock.release();
}

}  // namespace kestrel

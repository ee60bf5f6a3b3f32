// SPDX-License-Identifier: ISC
#include <kestrel/netinfo.h>

#include "unit/netinfo.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <kestrel/config.h>
#include "internal/kol_log.h"
#include "internal/shell_command.h"
#include "internal/text_builder.h"
#include "internal/unique_fd.h"

using namespace kestrel;

namespace {
constexpr char gateway_file[] = "/tmp/ra_gateway_ip";
constexpr std::size_t mac_text_size = 18;
constexpr std::size_t arp_line_size = 256;

// Zeroes the request and names the interface.  A name that does not fit the
// kernel's field is refused: cutting it could name another interface.
bool prepare_request(ifreq& req, const char* ifname) {
    std::memset(&req, 0, sizeof req);
    if (!ifname) return false;
    std::size_t n = strnlen(ifname, IFNAMSIZ);
    if (n == 0 || n >= IFNAMSIZ) return false;
    std::memcpy(req.ifr_name, ifname, n);
    return true;
}
}  // namespace

void kestrel::ether_etoa(const unsigned char* e, char* a) {
    static constexpr char digits[] = "0123456789ABCDEF";
    char* p = a;
    for (int i = 0; i < 6; ++i) {
        *p++ = digits[e[i] >> 4];
        *p++ = digits[e[i] & 0x0f];
        *p++ = ':';
    }
    a[17] = '\0';
}

char* get_macaddr(const char* ifname, char* eabuf) {
    static char none[1];
    if (!eabuf) {
        none[0] = '\0';
        return none;
    }
    eabuf[0] = '\0';
    ifreq req;
    if (!prepare_request(req, ifname)) return eabuf;
    unique_fd sock(socket(AF_INET, SOCK_RAW, IPPROTO_RAW));
    if (!sock.valid()) return eabuf;
    if (ioctl(sock.get(), SIOCGIFHWADDR, &req) == 0) {
        unsigned char hw[6];
        std::memcpy(hw, req.ifr_hwaddr.sa_data, sizeof hw);
        ether_etoa(hw, eabuf);
    }
    return eabuf;
}

in_addr kestrel::get_pa(const char* ifname, unsigned long cmd) {
    in_addr none{};
    ifreq req;
    if (!prepare_request(req, ifname)) return none;
    req.ifr_addr.sa_family = AF_INET;
    unique_fd sock(socket(AF_INET, SOCK_DGRAM, 0));
    if (!sock.valid()) return none;
    if (ioctl(sock.get(), cmd, &req) != 0 || req.ifr_addr.sa_family != AF_INET) return none;
    sockaddr_in sin;
    std::memcpy(&sin, &req.ifr_addr, sizeof sin);
    return sin.sin_addr;
}

in_addr get_ipaddr(const char* ifname) { return get_pa(ifname, SIOCGIFADDR); }

char* get_gateway_ip() {
    const char* ifname = "brwan";
    const char* column = "$2";  // gateway
    if (config_match("ap_mode", "1")) {
        ifname = "br0";
    } else if (config_match("wan_proto", "pppoe") || config_match("wan_proto", "pptp") ||
               config_match("wan_proto", "l2tp")) {
        // On the point-to-point link the destination column holds the peer.
        ifname = "ppp0";
        column = "$1";
    }
    char cmd[128];
    text_builder line(cmd, sizeof cmd - 1);
    line.printf("route -n |grep %s |grep 0.0.0.0 |awk '{print %s}' |grep -v 0.0.0.0 > %s", ifname,
                column, gateway_file);
    // An answer of an earlier call must not pass for this one.
    std::remove(gateway_file);
    run_command(line);
    return cat_file(gateway_file);
}

bool kestrel::arp_line_mac(char* line, const char* ip, char* mac) {
    static constexpr char blanks[] = " \t\n";
    char* save = nullptr;
    const char* addr = strtok_r(line, blanks, &save);
    if (!addr) return false;
    const char* hw = nullptr;
    for (int column = 2; column <= 4; ++column) {
        hw = strtok_r(nullptr, blanks, &save);
        if (!hw) return false;
    }
    if (std::strcmp(addr, ip) != 0) return false;
    bounded_copy(mac, mac_text_size, hw);
    return true;
}

char* get_gateway_mac(const char* ip) {
    static char mac[mac_text_size];
    mac[0] = '\0';
    if (!ip) return mac;
    unique_file in(std::fopen("/proc/net/arp", "r"));
    if (!in) return mac;
    char line[arp_line_size];
    // The first line is the column header ("IP address ... HW address ...").
    for (bool header = true; std::fgets(line, sizeof line - 1, in.get()); header = false) {
        // The tail of an over-long line is not a line of its own.
        if (!std::strchr(line, '\n')) {
            int c;
            while ((c = std::fgetc(in.get())) != EOF && c != '\n') {
            }
        }
        if (!header && arp_line_mac(line, ip, mac)) break;
    }
    return mac;
}

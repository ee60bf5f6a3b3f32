// SPDX-License-Identifier: ISC
// Drives the resolver from the command line for the tests and the benchmark.
//   dns_driver resolve NAME...        one line "NAME ADDRESS" per name (0 when unresolved)
//   dns_driver all NAME...            resolve_dns_all: "NAME ADDRESS..." (IPv4 first), or "NAME 0"
//   dns_driver loop N NAME            resolve_dns N times in this process
//   dns_driver getaddrinfo N NAME     the system resolver N times, for comparison
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <kestrel/resolv.h>

namespace {
void print_address(const char* name, unsigned int addr) {
    if (addr == 0) {
        std::printf("%s 0\n", name);
        return;
    }
    in_addr a{};
    a.s_addr = addr;
    std::printf("%s %s\n", name, inet_ntoa(a));
}

void print_all(const char* name) {
    resolv_addresses r;
    const int n = resolve_dns_all(name, &r);
    std::printf("%s", name);
    char text[INET6_ADDRSTRLEN];
    for (int i = 0; i < r.v4_count; ++i) std::printf(" %s", inet_ntop(AF_INET, &r.v4[i], text, sizeof text));
    for (int i = 0; i < r.v6_count; ++i) {
        std::printf(" %s", inet_ntop(AF_INET6, r.v6[i], text, sizeof text));
        if (r.v6_scope[i]) std::printf("%%%u", r.v6_scope[i]);
    }
    std::printf(n ? "\n" : " 0\n");
}

int usage() {
    std::fprintf(stderr, "usage: dns_driver resolve|all NAME... | loop N NAME | getaddrinfo N NAME\n");
    return 2;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return usage();
    if (std::strcmp(argv[1], "resolve") == 0) {
        for (int i = 2; i < argc; ++i) print_address(argv[i], resolve_dns(argv[i]));
        return 0;
    }
    if (std::strcmp(argv[1], "all") == 0) {
        for (int i = 2; i < argc; ++i) print_all(argv[i]);
        return 0;
    }
    if (argc != 4) return usage();
    const int n = std::atoi(argv[2]);
    const char* name = argv[3];
    int failed = 0;
    if (std::strcmp(argv[1], "loop") == 0) {
        for (int i = 0; i < n; ++i)
            if (resolve_dns(name) == 0) ++failed;
    } else if (std::strcmp(argv[1], "getaddrinfo") == 0) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_DGRAM;
        for (int i = 0; i < n; ++i) {
            addrinfo* res = nullptr;
            if (getaddrinfo(name, nullptr, &hints, &res) != 0) {
                ++failed;
                continue;
            }
            freeaddrinfo(res);
        }
    } else {
        return usage();
    }
    std::printf("%d lookups, %d failed\n", n, failed);
    return failed ? 1 : 0;
}

// SPDX-License-Identifier: ISC
#include "resolv/name_servers.h"

#include <arpa/inet.h>
#include <net/if.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal/fixed_path.h"
#include "internal/kol_log.h"
#include "internal/unique_fd.h"

namespace kestrel {

namespace {
// Second blank-separated token of line (runs of blanks are one separator);
// its length in *n, or null when there is none.
const char* second_token(const char* line, size_t* n) {
    const char* p = line;
    while (*p == ' ') ++p;
    while (*p && *p != ' ') ++p;
    while (*p == ' ') ++p;
    if (!*p) return nullptr;
    *n = std::strcspn(p, " ");
    return p;
}
}  // namespace

int read_name_servers(const char* path, dns_server_list& dnsl) {
    std::memset(dnsl, 0, sizeof dnsl);
    unique_file in(std::fopen(path, "r"));
    if (!in) return 0;
    // Any user could otherwise send the router's lookups to a server of theirs.
    if (!config_file_trusted(path, ::fileno(in.get()))) {
        KOL_LOG("%s is not root's: ignored", path);
        return 0;
    }

    char tmp[128];
    int count = 0;
    bool line_start = true;
    while (std::fgets(tmp, sizeof tmp, in.get())) {
        // The tail of a line longer than the buffer is not a line of its own.
        const bool judged = line_start;
        line_start = std::strchr(tmp, '\n') != nullptr;
        const bool whole = line_start || std::feof(in.get());
        if (!judged || std::strncmp(tmp, "nameserver", 10) != 0) continue;
        if (count == dns_max_servers) break;
        size_t n = 0;
        const char* token = second_token(tmp, &n);
        if (!token || (n == 1 && token[0] == '\n')) continue;
        // An address cut at the end of the buffer, or a token that does not
        // fit an entry, is no address.
        if (!whole && token[n] == '\0') continue;
        if (n >= dns_server_size) continue;
        std::memcpy(dnsl[count], token, n);
        dnsl[count][n] = '\0';
        ++count;
    }
    return count;
}

namespace {
size_t token_length(const char* text, char stop) {
    size_t n = 0;
    while (text[n] && text[n] != stop && !std::isspace(static_cast<unsigned char>(text[n]))) ++n;
    return n;
}
}  // namespace

unsigned int leading_address(const char* text) {
    char dotted[64];
    const size_t n = token_length(text, '\0');
    if (n >= sizeof dotted) return INADDR_NONE;
    std::memcpy(dotted, text, n);
    dotted[n] = '\0';
    return inet_addr(dotted);
}

bool ipv6_literal(const char* text, in6_addr* addr, unsigned* scope) {
    const bool bracketed = *text == '[';
    if (bracketed) ++text;
    const size_t n = token_length(text, ']');
    char buf[INET6_ADDRSTRLEN + IF_NAMESIZE + 1];
    if (n == 0 || n >= sizeof buf) return false;
    // A bracket closes exactly the bracketed form, and ends the text there.
    const char* after = text + n;
    if (bracketed != (*after == ']')) return false;
    if (bracketed && *++after && !std::isspace(static_cast<unsigned char>(*after))) return false;
    std::memcpy(buf, text, n);
    buf[n] = '\0';
    *scope = 0;
    if (char* zone = std::strchr(buf, '%')) {
        *zone++ = '\0';
        char* end = zone;
        long long index = std::strtoll(zone, &end, 10);
        const bool number = std::isdigit(static_cast<unsigned char>(*zone)) && *end == '\0';
        // A number past 32 bits saturates, as strtoul does on the router.
        if (index > 0xffffffffLL) index = 0xffffffffLL;
        *scope = number ? static_cast<unsigned>(index) : if_nametoindex(zone);
        if (*scope == 0) return false;
    }
    return inet_pton(AF_INET6, buf, addr) == 1;
}

bool address_literal(const char* text, resolv_addresses* r) {
    *r = resolv_addresses{};
    const in_addr_t addr = leading_address(text);
    if (addr != INADDR_NONE) {
        r->v4[0] = addr;
        r->v4_count = addr != 0;
        return true;
    }
    in6_addr a6{};
    if (!ipv6_literal(text, &a6, &r->v6_scope[0])) return false;
    std::memcpy(r->v6[0], &a6, sizeof a6);
    r->v6_count = !IN6_IS_ADDR_UNSPECIFIED(&a6);
    return true;
}

}  // namespace kestrel

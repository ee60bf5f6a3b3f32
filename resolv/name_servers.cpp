#include "resolv/name_servers.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdio>
#include <cstring>

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

unsigned int leading_address(const char* text) {
    char dotted[64];
    size_t n = 0;
    while (text[n] && !std::isspace(static_cast<unsigned char>(text[n]))) ++n;
    if (n >= sizeof dotted) return INADDR_NONE;
    std::memcpy(dotted, text, n);
    dotted[n] = '\0';
    return inet_addr(dotted);
}

}  // namespace kestrel

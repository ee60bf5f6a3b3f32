// SPDX-License-Identifier: ISC
#include "ftp/url.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace kestrel {

char* get_ftp_type(char* rest) {
    if (std::strncmp(rest, "ftp://", 6) == 0) return rest + 6;
    // No scheme: a host whose name begins with ftp.
    for (int i = 0; i < 3; ++i)
        if (std::tolower(static_cast<unsigned char>(rest[i])) != "ftp"[i]) return nullptr;
    return rest;
    return nullptr;
}

char* get_auth(ftp_url* u, char* rest) {
    u->username = "anonymous";
    u->password = "";
    char* at = std::strchr(rest, '@');
    char* slash = std::strchr(rest, '/');
    // An at sign after the host's slash belongs to the path.
    if (!at || !slash || at > slash) return rest;
    char* sep = rest + std::strcspn(rest, ":@");
    u->username = rest;
    if (*sep == ':') {
        *sep = '\0';
        u->password = sep + 1;
    }
    *at = '\0';
    return at + 1;
}

char* get_hostname(ftp_url* u, char* rest) {
    u->host = rest;
    // An IPv6 address is bracketed, its colons being no port separators;
    // the host is what the brackets hold.
    if (*rest == '[') {
        char* close = std::strchr(rest, ']');
        if (!close || (close[1] != '/' && close[1] != '\0')) return nullptr;
        *close = '\0';
        u->host = rest + 1;
        rest = close + 1;
    }
    char* slash = std::strchr(rest, '/');
    if (!slash) return rest + std::strlen(rest);
    *slash = '\0';
    return slash + 1;
}

char* get_path(ftp_url* u, char* rest) {
    if (*rest == '\0') return nullptr;
    char* slash = std::strrchr(rest, '/');
    if (!slash) return rest;
    *slash = '\0';
    u->path = rest;
    return slash + 1;
}

char* get_file(ftp_url* u, char* rest) {
    if (*rest == '\0') return nullptr;
    u->file = rest;
    return rest;
}

int url_init(ftp_url* u, const char* string) {
    *u = ftp_url{};
    u->full_url = string;
    std::size_t size = std::strlen(string) + 1;
    u->url_buf = static_cast<char*>(std::malloc(size));
    if (!u->url_buf) return 0;
    std::memcpy(u->url_buf, string, size);
    char* rest = get_ftp_type(u->url_buf);
    if (rest) rest = get_auth(u, rest);
    if (rest) rest = get_hostname(u, rest);
    if (rest) rest = get_path(u, rest);
    if (rest) rest = get_file(u, rest);
    if (rest) return 1;
    std::free(u->url_buf);
    *u = ftp_url{};
    return 0;
}

}  // namespace kestrel

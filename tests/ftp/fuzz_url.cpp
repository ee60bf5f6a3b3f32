// SPDX-License-Identifier: ISC
// The ftp:// URL parser.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ftp/url.h"

using namespace kestrel;

namespace {
bool inside(const char* p, const ftp_url& u, size_t len) { return p >= u.url_buf && p <= u.url_buf + len; }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    ftp_url u;
    if (!url_init(&u, text.c_str())) {
        if (u.url_buf) abort();
        return 0;
    }
    size_t len = std::strlen(text.c_str());
    if (!u.file || !*u.file || !inside(u.file, u, len) || !inside(u.host, u, len)) abort();
    if (u.path && !inside(u.path, u, len)) abort();
    if (!u.username || !u.password) abort();
    std::free(u.url_buf);
    return 0;
}

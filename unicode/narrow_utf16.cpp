// SPDX-License-Identifier: ISC
#include "unicode/narrow_utf16.h"

#include <kestrel/narrow.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "internal/text_builder.h"
#include "internal/unique_fd.h"

namespace kestrel {

namespace {

// Keeps the bytes of one parity, chosen by the chunk's first byte, and drops
// zero bytes.  Returns the count written to out (at most (len + 1) / 2).
std::size_t narrow_chunk(const unsigned char* in, std::size_t len, unsigned char* out) {
    if (len == 0) return 0;
    std::size_t w = 0;
    for (std::size_t r = in[0] == 0x00 ? 1 : 0; r < len; r += 2)
        if (in[r] != 0x00) out[w++] = in[r];
    return w;
}

}  // namespace

int iconv(const char* filename) {
    if (!filename) return 1;
    unique_fd rfd(::open(filename, O_RDONLY | O_CLOEXEC));
    if (!rfd.valid()) return 0;

    unsigned char mark[2];
    if (::read(rfd.get(), mark, 2) != 2) return 1;
    bool utf16 = (mark[0] == 0xFF && mark[1] == 0xFE) || (mark[0] == 0xFE && mark[1] == 0xFF);
    if (!utf16) return 1;

    // Made exclusively beside the file, so that the rename stays on its file
    // system and no one else can have made the temporary first.
    char temp[4096];
    if (!bounded_format(temp, sizeof temp, "%s.XXXXXX", filename)) return 0;
    unique_fd wfd(::mkostemp(temp, O_CLOEXEC));
    if (!wfd.valid()) return 0;
    struct stat st;
    if (::fstat(rfd.get(), &st) == 0) ::fchmod(wfd.get(), st.st_mode & 0777);

    unsigned char rbuf[4096];
    unsigned char wbuf[4096];
    bool write_failed = false;
    for (;;) {
        ssize_t rlen = ::read(rfd.get(), rbuf, sizeof rbuf);
        if (rlen <= 0) break;
        std::size_t w = narrow_chunk(rbuf, static_cast<std::size_t>(rlen), wbuf);
        if (::write(wfd.get(), wbuf, w) != static_cast<ssize_t>(w)) write_failed = true;
    }
    rfd.reset();
    if (::close(wfd.release()) != 0) write_failed = true;

    // One rename replaces the file; the original stays whole if anything failed.
    if (write_failed || std::rename(temp, filename) != 0) {
        ::unlink(temp);
        return 0;
    }
    return 1;
}

}  // namespace kestrel

int kol_iconv(const char* filename) { return kestrel::iconv(filename); }

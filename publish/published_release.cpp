#include "publish/published_release.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>

#include <kestrel/narrow.h>
#include "internal/text_builder.h"
#include "internal/unique_fd.h"

namespace kestrel {

namespace {

bool copy_fd(int in, int out) {
    char buf[16384];
    for (;;) {
        ssize_t n = ::read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n == 0;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::write(out, buf + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return false;
            done += w;
        }
    }
}

}  // namespace

bool read_published_control(const char* path, control_record& rec) {
    // A private scratch file under /tmp: the narrowing renames its result
    // onto the file it narrows, from /tmp.
    char scratch[] = "/tmp/kestrel-publish.XXXXXX";
    unique_fd out(::mkstemp(scratch));
    if (!out.valid()) return false;
    unique_fd in(::open(path, O_RDONLY | O_CLOEXEC));
    bool ok = in.valid() && copy_fd(in.get(), out.get()) && ::close(out.release()) == 0 && kol_iconv(scratch) == 1;
    if (ok) read_control_record(scratch, rec);
    ::unlink(scratch);
    return ok;
}

}  // namespace kestrel

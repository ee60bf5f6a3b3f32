// SPDX-License-Identifier: ISC
#include "internal/kernel_random.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>

#include "internal/unique_fd.h"

namespace kestrel {

bool kernel_random(unsigned char* out, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        ssize_t r = ::getrandom(out + got, n - got, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    if (got == n) return true;
    unique_fd fd(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
    while (fd.valid() && got < n) {
        ssize_t r = ::read(fd.get(), out + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        got += static_cast<std::size_t>(r);
    }
    return got == n;
}

}  // namespace kestrel

#include "updater/pid_guard.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "internal/kol_log.h"

namespace kestrel {

namespace {

bool process_alive(pid_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

pid_t recorded_pid(int fd) {
    char text[24] = {};
    ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) return 0;
    char* end = nullptr;
    long pid = std::strtol(text, &end, 10);
    return (end != text && pid > 0 && pid <= 0x7fffffffL) ? static_cast<pid_t>(pid) : 0;
}

// True when fd still is the file at path (not one removed meanwhile).
bool still_linked(int fd, const char* path) {
    struct stat by_fd, by_path;
    return ::fstat(fd, &by_fd) == 0 && ::stat(path, &by_path) == 0 && by_fd.st_dev == by_path.st_dev &&
           by_fd.st_ino == by_path.st_ino;
}

}  // namespace

void pid_guard_record_self(const unique_fd& owner) {
    if (!owner.valid()) return;
    char text[24];
    int n = std::snprintf(text, sizeof text, "%d\n", static_cast<int>(::getpid()));
    if (::ftruncate(owner.get(), 0) != 0 || ::pwrite(owner.get(), text, static_cast<size_t>(n), 0) != n)
        KOL_LOG("cannot record pid in pid file");
}

pid_guard_status pid_guard_acquire(const char* path, unique_fd& owner) {
    // A few rounds cover a file that vanishes or is replaced while we look.
    for (int round = 0; round < 3; ++round) {
        bool created = true;
        unique_fd fd(::open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (!fd.valid()) {
            if (errno != EEXIST) return pid_guard_status::unguarded;
            created = false;
            fd.reset(::open(path, O_RDWR | O_CLOEXEC));
            if (!fd.valid()) {
                if (errno == ENOENT) continue;
                return pid_guard_status::running;
            }
        }
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return pid_guard_status::running;
        if (!still_linked(fd.get(), path)) continue;
        if (!created) {
            pid_t pid = recorded_pid(fd.get());
            if (process_alive(pid)) return pid_guard_status::running;
            if (pid > 0)
                KOL_LOG("stale pid file %s (pid %d), taking it over", path, static_cast<int>(pid));
            else
                KOL_LOG("pid file %s holds no pid, taking it over", path);
        }
        owner = static_cast<unique_fd&&>(fd);
        pid_guard_record_self(owner);
        return pid_guard_status::acquired;
    }
    return pid_guard_status::running;
}

}  // namespace kestrel

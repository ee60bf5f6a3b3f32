// SPDX-License-Identifier: ISC
#include "updater/pid_guard.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal/fixed_path.h"
#include "internal/kol_log.h"
#include "internal/text_builder.h"

namespace kestrel {

namespace {

bool process_alive(pid_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

// The process name, as /proc keeps it; false when it cannot be read.
bool process_name(const char* comm_path, char (&name)[32]) {
    unique_fd fd(::open(comm_path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return false;
    ssize_t n = ::read(fd.get(), name, sizeof name - 1);
    if (n <= 0) return false;
    name[n] = '\0';
    name[std::strcspn(name, "\n")] = '\0';
    return true;
}

// Why the live process pid cannot be a run of this daemon, or nullptr when
// it may be one.  A pid recorded before a crash or a reboot may since name
// any process, even the one starting now.
const char* not_a_run(pid_t pid, char (&name)[32]) {
    if (pid == ::getpid()) return "this process";
    char own[32];
    char path[32];
    bounded_format(path, sizeof path, "/proc/%d/comm", static_cast<int>(pid));
    // Without /proc nothing tells: a live process counts as a run.
    if (!process_name("/proc/self/comm", own)) return nullptr;
    if (!process_name(path, name)) return "gone";
    return std::strcmp(own, name) == 0 ? nullptr : name;
}

pid_t recorded_pid(int fd) {
    char text[24] = {};
    ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) return 0;
    char* end = nullptr;
    long long pid = std::strtoll(text, &end, 10);
    return (end != text && pid > 0 && pid <= 0x7fffffffLL) ? static_cast<pid_t>(pid) : 0;
}

// True when fd still is the file at path (not one removed meanwhile).
bool still_linked(int fd, const char* path) {
    struct stat by_fd, by_path;
    return ::fstat(fd, &by_fd) == 0 && ::lstat(path, &by_path) == 0 && by_fd.st_dev == by_path.st_dev &&
           by_fd.st_ino == by_path.st_ino;
}

// A pid file another user made, or a link, is never written: it goes, with
// a log line, and the next round creates ours.
void replace_foreign(const char* path) {
    fixed_claim claim = claim_fixed_path(path, fixed_kind::file);
    if (claim.state == fixed_claim::replaced)
        KOL_LOG("pid file %s was not ours (owner %u), replaced", path, static_cast<unsigned>(claim.owner));
}

bool ours(int fd, const char* path) {
    struct stat st;
    return ::fstat(fd, &st) == 0 && entry_ours(path, st, fixed_kind::file);
}

}  // namespace

bool pid_guard_still_ours(const unique_fd& owner, const char* path) {
    return owner.valid() && still_linked(owner.get(), path);
}

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
        unique_fd fd(::open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (!fd.valid()) {
            if (errno != EEXIST) return pid_guard_status::unguarded;
            created = false;
            fd.reset(::open(path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            if (!fd.valid() && errno == ENOENT) continue;
            // A link, a directory or another user's file is not a run's.
            if (!fd.valid() ? (errno == ELOOP || errno == EISDIR || errno == ENXIO) : !ours(fd.get(), path)) {
                fd.reset();
                replace_foreign(path);
                continue;
            }
            if (!fd.valid()) return pid_guard_status::running;
        }
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return pid_guard_status::running;
        if (!still_linked(fd.get(), path)) continue;
        if (!created) {
            pid_t pid = recorded_pid(fd.get());
            char name[32];
            const char* other = process_alive(pid) ? not_a_run(pid, name) : "gone";
            if (!other) return pid_guard_status::running;
            if (pid > 0)
                KOL_LOG("stale pid file %s (pid %d, %s), taking it over", path, static_cast<int>(pid), other);
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

// SPDX-License-Identifier: ISC
#include "internal/shell_command.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "internal/deadline.h"
#include "internal/kol_log.h"

namespace kestrel {

namespace {

pid_t* shared_group;

// Waits for pid for at most seconds; false when it is still running then.
bool wait_within(pid_t pid, unsigned seconds, int& rc) {
    timespec deadline{};
    ::clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(seconds);
    sigset_t child;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    for (;;) {
        pid_t r = ::waitpid(pid, &rc, WNOHANG);
        if (r == pid) return true;
        if (r < 0 && errno != EINTR) return true;
        timespec left{};
        if (!time_left(deadline, left)) return false;
        // SIGCHLD is blocked around the command: it only wakes this wait.
        ::sigtimedwait(&child, nullptr, &left);
    }
}

}  // namespace

void run_command_share_group(pid_t* slot) { shared_group = slot; }

command_result run_command(const text_builder& cmd, long long file_size_limit, unsigned time_limit) {
    command_result result;
    if (!cmd.ok()) {
        const char* line = cmd.c_str();
        std::size_t word = std::strcspn(line, " ");
        if (word > 32) word = 32;
        KOL_LOG("%.*s command line of %zu characters does not fit in %zu, not run", static_cast<int>(word),
                line, cmd.wanted, cmd.size > 0 ? cmd.size - 1 : 0);
        return result;
    }
    result.ran = true;
    sigset_t child, before;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    if (time_limit > 0) ::sigprocmask(SIG_BLOCK, &child, &before);
    pid_t pid = ::fork();
    if (pid == 0) {
        if (time_limit > 0) {
            // Published before it leaves the caller's group, so that no
            // moment exists in which stopping both misses it.
            if (shared_group) *shared_group = ::getpid();
            ::setpgid(0, 0);
            ::sigprocmask(SIG_SETMASK, &before, nullptr);
        }
        if (file_size_limit > 0) {
            rlimit limit{};
            ::getrlimit(RLIMIT_FSIZE, &limit);
            if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max > static_cast<rlim_t>(file_size_limit))
                limit.rlim_cur = static_cast<rlim_t>(file_size_limit);
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(127);
            // Stopped at the limit even where our starter ignored the signal.
            struct sigaction dfl {};
            dfl.sa_handler = SIG_DFL;
            ::sigaction(SIGXFSZ, &dfl, nullptr);
        }
        ::execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int rc = 0;
    if (time_limit > 0) {
        if (pid > 0) {
            ::setpgid(pid, pid);
            if (shared_group) *shared_group = pid;
            if (!wait_within(pid, time_limit, rc)) {
                ::kill(-pid, SIGKILL);
                while (::waitpid(pid, &rc, 0) < 0 && errno == EINTR) {
                }
                result.timed_out = true;
            }
            if (shared_group) *shared_group = 0;
        }
        ::sigprocmask(SIG_SETMASK, &before, nullptr);
        if (pid < 0 || result.timed_out) return result;
    } else {
        if (pid < 0) return result;
        while (::waitpid(pid, &rc, 0) < 0) {
            if (errno != EINTR) return result;
        }
    }
    if (WIFEXITED(rc)) result.status = WEXITSTATUS(rc);
    if (WIFSIGNALED(rc)) result.signal = WTERMSIG(rc);
    return result;
}

}  // namespace kestrel

// SPDX-License-Identifier: ISC
#include "updater/run_limit.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "internal/deadline.h"

namespace kestrel {

namespace {

void reap(pid_t pid, int& status) {
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// What the supervisor waits for: the worker's end, and the signals an init
// system or an administrator sends to stop a daemon.
sigset_t watched_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

pid_t run_start_worker() {
    // Blocked before the fork, so that the worker's end cannot slip by
    // before the supervisor waits for it.
    sigset_t watched = watched_signals(), before;
    ::sigprocmask(SIG_BLOCK, &watched, &before);

    pid_t supervisor = ::getpid();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::sigprocmask(SIG_SETMASK, &before, nullptr);
        ::setpgid(0, 0);
        // A run never outlives its supervisor, which alone enforces the limit.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != supervisor) ::_exit(1);
        return 0;
    }
    // Set on both sides: the group must exist before the supervisor may
    // have to stop it.
    if (pid > 0) ::setpgid(pid, pid);
    return pid;
}

run_outcome run_supervise(pid_t worker, const timespec& started, unsigned limit_seconds) {
    sigset_t watched = watched_signals();
    timespec deadline = started;
    deadline.tv_sec += static_cast<time_t>(limit_seconds);

    int status = 0;
    for (;;) {
        pid_t r = ::waitpid(worker, &status, WNOHANG);
        if (r == worker) break;
        if (r < 0 && errno != EINTR) {
            // Cannot happen to our own child; stop what may be left of it.
            ::kill(-worker, SIGKILL);
            return {run_end::killed, 0};
        }
        timespec left{};
        if (!time_left(deadline, left)) {
            ::kill(-worker, SIGKILL);
            reap(worker, status);
            return {run_end::over_limit, 0};
        }
        // Wakes at the worker's end, a stop signal or the deadline; no
        // handler needed.
        siginfo_t info{};
        int sig = ::sigtimedwait(&watched, &info, &left);
        if (sig == SIGTERM || sig == SIGINT || sig == SIGHUP) {
            ::kill(-worker, SIGKILL);
            reap(worker, status);
            return {run_end::stopped, sig};
        }
    }
    if (WIFEXITED(status)) return {run_end::finished, WEXITSTATUS(status)};
    // Killed from outside: what it started may still be running.
    ::kill(-worker, SIGKILL);
    return {run_end::killed, WIFSIGNALED(status) ? WTERMSIG(status) : 0};
}

const char* signal_name(int sig, char (&buf)[16]) {
    switch (sig) {
        case SIGTERM: return "SIGTERM";
        case SIGINT: return "SIGINT";
        case SIGHUP: return "SIGHUP";
        case SIGKILL: return "SIGKILL";
        default: std::snprintf(buf, sizeof buf, "signal %d", sig); return buf;
    }
}

}  // namespace kestrel

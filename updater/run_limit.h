// SPDX-License-Identifier: ISC
// The run in a process of its own, watched by the daemon: whatever its peers
// do, it ends within a time limit, with every program it started.
#pragma once

#include <sys/types.h>
#include <time.h>

namespace kestrel {

// How the worker of a run ended.
enum class run_end {
    finished,    // exited; status is its exit status
    killed,      // ended by signal status
    over_limit,  // stopped at the time limit
    stopped,     // the supervisor was asked to stop by signal status
};

struct run_outcome {
    run_end end;
    int status;
};

// Forks the process that does the run: 0 in it, its pid in the caller, -1
// when fork failed.  The worker leads a process group of its own, which every
// program it starts joins, and it dies with the caller.  SIGCHLD and the
// signals that ask a daemon to stop (SIGTERM, SIGINT, SIGHUP) stay blocked
// in the caller, for run_supervise.
pid_t run_start_worker();

// Waits for the worker until limit_seconds after started (CLOCK_MONOTONIC).
// When the limit comes first, a stop signal arrives, or the worker was
// killed, stops its whole process group; the worker is reaped in every case.
run_outcome run_supervise(pid_t worker, const timespec& started, unsigned limit_seconds);

// "SIGTERM" and the like for the signals a run may end by, else "signal N".
const char* signal_name(int sig, char (&buf)[16]);

}  // namespace kestrel

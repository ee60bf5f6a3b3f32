// Single-instance guard through the pid file.
#pragma once

#include "internal/unique_fd.h"

namespace kestrel {

enum class pid_guard_status {
    acquired,   // this process owns the pid file; keep the descriptor open
    running,    // another run is active
    unguarded,  // the pid file cannot be created; run without it
};

// Creates the pid file exclusively and locks it.  The lock lives in the open
// file description, so it passes to the child across daemon() and marks the
// run as active for as long as the run lives.  A file that is not locked and
// names no live process is stale and is taken over, with a log line.
pid_guard_status pid_guard_acquire(const char* path, unique_fd& owner);

// Records the calling process in an acquired pid file (after detaching).
void pid_guard_record_self(const unique_fd& owner);

}  // namespace kestrel

// SPDX-License-Identifier: ISC
// Single-instance guard through the pid file.
#pragma once

#include "internal/unique_fd.h"

namespace kestrel {

enum class pid_guard_status {
    acquired,   // this process owns the pid file; keep the descriptor open
    running,    // another run is active
    unguarded,  // the pid file cannot be created: no run may go on
};

// Creates the pid file exclusively and locks it.  The lock lives in the open
// file description, so it passes to the child across daemon() and marks the
// run as active for as long as any process of the run holds it.  A file that
// is not locked is stale, and taken over with a log line, unless it names a
// live run: a live process other than this one, under this one's name.
pid_guard_status pid_guard_acquire(const char* path, unique_fd& owner);

// Records the calling process in an acquired pid file (after detaching).
void pid_guard_record_self(const unique_fd& owner);

// True while path still is the file owner holds (the run has not removed it).
bool pid_guard_still_ours(const unique_fd& owner, const char* path);

}  // namespace kestrel

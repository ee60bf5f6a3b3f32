// SPDX-License-Identifier: ISC
// What the last run did, for the router's own tools (a monitoring agent, the
// web interface): /tmp/dbg_log_collect/status.json, written at the end of
// every run that got past the pid guard.
#pragma once

#include <sys/types.h>

#include "updater/updater.h"

namespace kestrel {

enum class run_result { failed, installed, current, waiting, refused, rolled_back, stopped };

struct run_status {
    run_result result;
    version_text published;  // "" until a control file named a version
    char transport[8];       // "https", "ftp", "" until a control file came
    char reason[192];        // a short sentence for a person
    bool expiry_unchecked;   // the clock could not judge the release's expiry
    pid_t command_group;     // a time-limited command's process group while it runs
};

// One record that the worker fills as the run goes and the supervisor
// writes, whatever the worker's end: shared memory both processes see.
// Null (and logged) when it cannot be made; every call below takes null.
run_status* run_status_shared();

// The run's outcome so far, with the sentence that says why (logged too).
void run_status_end(run_status* st, run_result result, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
// The same with a sentence made already and logged where it was made.
void run_status_set(run_status* st, run_result result, const char* reason);

// Writes the status file by temp file and rename: time, result, installed
// (the recorded version now), published, transport, reason.
void run_status_write(const run_status* st);

}  // namespace kestrel

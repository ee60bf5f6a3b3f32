// What the last run did, for the router's own tools (a monitoring agent, the
// web interface): /tmp/dbg_log_collect/status.json, written at the end of
// every run that got past the pid guard.
#pragma once

#include "updater/updater.h"

namespace kestrel {

inline constexpr const char status_path[] = "/tmp/dbg_log_collect/status.json";

enum class run_result { failed, installed, current, waiting, refused, rolled_back, stopped };

struct run_status {
    run_result result;
    version_text published;  // "" until a control file named a version
    char transport[8];       // "https", "ftp", "" until a control file came
    char reason[192];        // a short sentence for a person
    bool expiry_unchecked;   // the clock could not judge the release's expiry
};

// One record that the worker fills as the run goes and the supervisor
// writes, whatever the worker's end: shared memory both processes see.  Its
// reason is the run's last log line, kept whether the log is on or not.
// Null (and logged) when it cannot be made; every call below takes null.
run_status* run_status_shared();

// The run's outcome so far; the reason is the line logged last.
void run_status_set(run_status* st, run_result result);

// Writes status_path by temp file and rename: time, result, installed (the
// recorded version now), published, transport, reason.
void run_status_write(const run_status* st);

}  // namespace kestrel

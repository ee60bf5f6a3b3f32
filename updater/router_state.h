// SPDX-License-Identifier: ISC
// Every file the router keeps between runs, at fixed names: the record
// directory and what it holds (recorded version, good file, refused version,
// trying marker, status), the rollback and release floors in persistent storage, the pid
// file and the installed file.  They are opened, checked and replaced here
// and nowhere else, under one idea of "ours" (entry_ours): what is not ours
// is never read, and moved aside before anything is written at its name.
// Usable from the first instant of a run.
#pragma once

#include <cstddef>

#include "updater/updater.h"

namespace kestrel {

inline constexpr const char good_path[] = "/tmp/dbg_log_collect/dbg-gen.cfg.good";
inline constexpr const char refused_path[] = "/tmp/dbg_log_collect/refused";
// Names the version being judged, from before its first restart until the
// verdict is in.
inline constexpr const char trying_path[] = "/tmp/dbg_log_collect/trying";
inline constexpr const char status_path[] = "/tmp/dbg_log_collect/status.json";

// The record directory is ours, made when missing, whatever was at its name
// before; false (and logged) when it cannot be.
bool record_dir_ready();

// The first line of one of the files above (or "" and 0 when absent); -1,
// logged and "", when it is there but not ours.
int read_state(const char* path, char* buf, std::size_t size);
// Replaces one of the files above by temp file and rename, in the record
// directory made ours first.
bool write_state(const char* path, const char* text);
void remove_state(const char* path);

// The recorded version; "" when none (or none to trust, or too long).
void recorded_version(version_text& version);

// The installed file is ours: only then is it kept or put back.
bool installed_file_ours();
bool good_file_ours();
// The installed file becomes the good one (a second link, made as temp and
// renamed, so that a kill leaves the old good file or the new one).
bool keep_good_file();
// The good file is installed again the same way; with no good file, the
// installed one is removed.
bool restore_good_file();

// The rollback floor: the highest version a signed run installed, kept in
// persistent storage.  Unusable when it cannot be read, created or kept:
// problem then says which path and why ("PATH CAUSE").
struct rollback_floor {
    bool usable;
    version_text highest;  // "" when none kept yet
    char problem[320];
};
rollback_floor read_rollback_floor();
// Keeps version as the floor when it is higher (one flash write an update).
void raise_rollback_floor(const char* version);

// The release floors: the highest seq and issued a signed router verified,
// kept beside the rollback floor and failing closed like it.
struct release_floors {
    bool usable;
    unsigned long long seq;     // 0 when none kept yet
    unsigned long long issued;  // 0 when none kept yet
    char problem[320];
};
release_floors read_release_floors();
// Raises both floors to rec's values where higher; false when they cannot
// be kept, problem then saying which path and why.
bool raise_release_floors(const control_record& rec, release_floors& floors);

// What the router holds, as the decision sees it.
struct router_view {
    bool signed_run;
    version_text recorded;
    version_text refused;
    rollback_floor floor;     // read for signed runs only
    release_floors releases;  // read for signed runs only
    bool clock_synced;        // the kernel reports the clock synchronized
    long long now;            // the clock, Unix seconds
};
router_view read_router_view(bool signed_run);

}  // namespace kestrel

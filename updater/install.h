// SPDX-License-Identifier: ISC
// Installing a verified payload, the service's verdict on it, and the way
// back when the service does not come up on it.  The verdict always comes:
// the restart and the health check run under time limits, and a version
// being judged is named by the trying marker until the verdict is in, so
// that a run ended meanwhile is judged "does not start" by whoever finds
// the marker.
#pragma once

#include "updater/updater.h"

namespace kestrel {

// How the service is judged: the daemon's build constants, passed in (the
// library is built once for every daemon build).
struct service_check {
    const char* health_check;  // a shell command; "" for none
    unsigned restart_timeout;  // seconds
    unsigned health_timeout;   // seconds
};

enum class install_end {
    installed,        // in place, the service up on it, the version recorded
    rolled_back,      // the service did not come up: the previous file is back
    not_installed,    // the payload could not be put in place
};

// Keeps what a rollback would put back (the installed file becomes the good
// one where there is none yet), marks version as being judged, moves the
// verified payload staged onto the installed name, restarts the service and
// judges the restart (its exit status, then health_check's, a shell command,
// unless it is empty).  Up: the file is kept as the good one and version
// recorded.  Down: rolled back (roll_back).
install_end install_and_restart(const char* staged, const char* version, const service_check& check);

// The service does not start on version: the good file is put back (none:
// the installed file removed), the service restarted on it, version
// remembered as refused, the marker removed.
void roll_back(const char* version, const service_check& check);

// The version the trying marker names, when one does: a run ended while
// judging it (unless that version is recorded: the verdict was in, and only
// finish_judging was left).  False when there is no marker.
bool judging_interrupted(version_text& version);
// After a good verdict: the installed file kept as the good one, the marker
// removed.
void finish_judging();

}  // namespace kestrel

// Installing a verified payload, the service's verdict on it, and the way
// back when the service does not come up on it.
#pragma once

namespace kestrel {

// The file the recorded version was installed with: the last one the
// service is known to have come up on (a second link to it).
inline constexpr const char good_path[] = "/tmp/dbg_log_collect/dbg-gen.cfg.good";
// The one version the service did not come up on, skipped until another is
// published.
inline constexpr const char refused_path[] = "/tmp/dbg_log_collect/refused";

enum class install_end {
    installed,        // in place, the service up on it, the version recorded
    rolled_back,      // the service did not come up: the previous file is back
    not_installed,    // the payload could not be put in place
};

// True (and logged) when the service refused version before.
bool version_refused(const char* version);

// Moves the verified payload staged onto the installed name, restarts the
// service and judges the restart (its exit status, then health_check's, a
// shell command, unless it is empty).  Up: the file is kept as the good one and version recorded.
// Down: the good file (or else before, the file installed when the run
// began; or else none) is put back by rename, the restart runs once more,
// version is remembered as refused and not recorded.
install_end install_and_restart(const char* staged, const char* before, const char* version,
                                const char* health_check);

}  // namespace kestrel

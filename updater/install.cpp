// SPDX-License-Identifier: ISC
#include "updater/install.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "internal/fixed_path.h"
#include "internal/kol_log.h"
#include "internal/shell_command.h"
#include "internal/text_builder.h"
#include "updater/router_state.h"
#include "updater/updater.h"

namespace kestrel {

namespace {

// Moves the verified payload onto its fixed name.  Whatever another user
// left there (a file, a link, a directory) is replaced, never written to.
bool install(const char* staged) {
    // Readable by the service whatever the umask curl or the FTP client
    // created it under.
    ::chmod(staged, 0644);
    struct stat st;
    if (::lstat(payload_path, &st) == 0 && !installed_file_ours()) {
        fixed_claim claim = claim_fixed_path(payload_path, fixed_kind::file);
        if (claim.state == fixed_claim::replaced)
            KOL_LOG("%s was not ours (owner %u), replaced", payload_path, static_cast<unsigned>(claim.owner));
    }
    if (std::rename(staged, payload_path) == 0) return true;
    KOL_LOG("cannot install %s", payload_path);
    return false;
}

// The restart line's exit status, then the health check's, each within its
// time: 0 both, the service came up.
bool restart_service(const service_check& check) {
    char cmd[512];
    command_result r =
        run_command(text_builder(cmd).raw("/etc/init.d/oru stop; /etc/init.d/oru start"), 0, check.restart_timeout);
    if (r.timed_out) KOL_LOG("the restart took over %u seconds, stopped", check.restart_timeout);
    if (!r.succeeded() || !check.health_check[0]) return r.succeeded();
    r = run_command(text_builder(cmd).raw(check.health_check), 0, check.health_timeout);
    if (r.timed_out) KOL_LOG("the health check took over %u seconds, stopped", check.health_timeout);
    return r.succeeded();
}

}  // namespace

void finish_judging() {
    if (!keep_good_file()) KOL_LOG("cannot keep %s", good_path);
    remove_state(trying_path);
}

bool judging_interrupted(version_text& version) {
    char line[64];
    if (read_state(trying_path, line, sizeof line) <= 0) return false;
    // A marker naming nothing that fits still means a restart was cut short.
    if (!bounded_copy(version, sizeof version, line)) version[0] = '\0';
    version_text recorded;
    recorded_version(recorded);
    if (!version[0] || std::strcmp(recorded, version) != 0) return true;
    finish_judging();
    return false;
}

void roll_back(const char* version, const service_check& check) {
    KOL_LOG("version %s does not start, back to the previous configuration", version);
    if (!restore_good_file()) KOL_LOG("cannot put the previous configuration back");
    if (!restart_service(check)) KOL_LOG("the service does not come up on the previous configuration either");
    if (version[0] && !write_state(refused_path, version)) KOL_LOG("cannot remember version %s as refused", version);
    remove_state(trying_path);
}

install_end install_and_restart(const char* staged, const char* version, const service_check& check) {
    // What a rollback puts back must exist before the service is touched:
    // a router whose last version an older build installed has no good file.
    if (!good_file_ours() && installed_file_ours() && !keep_good_file()) {
        KOL_LOG("cannot keep %s, keeping the installed file", good_path);
        return install_end::not_installed;
    }
    if (!write_state(trying_path, version)) return install_end::not_installed;
    if (!install(staged)) {
        remove_state(trying_path);
        return install_end::not_installed;
    }
    if (!restart_service(check)) {
        roll_back(version, check);
        return install_end::rolled_back;
    }
    // The record is the verdict: a run that finds the marker with the
    // version recorded only finishes what this one began.
    record_version(version);
    finish_judging();
    return install_end::installed;
}

}  // namespace kestrel

#include "updater/install.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "internal/fixed_path.h"
#include "internal/kol_log.h"
#include "internal/shell_command.h"
#include "internal/text_builder.h"
#include "updater/run_dir.h"
#include "updater/updater.h"

namespace kestrel {

namespace {

constexpr const char good_temp_path[] = "/tmp/dbg_log_collect/dbg-gen.cfg.good.new";

bool our_file(const char* path) {
    struct stat st;
    return ::lstat(path, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid();
}

// Moves the verified payload onto its fixed name.  Whatever another user
// left there (a file, a link, a directory) is replaced, never written to.
bool install(const char* staged) {
    // Readable by the service whatever the umask curl or the FTP client
    // created it under.
    ::chmod(staged, 0644);
    struct stat st;
    if (::lstat(payload_path, &st) == 0 && (st.st_uid != ::geteuid() || !S_ISREG(st.st_mode))) {
        fixed_claim claim = claim_fixed_path(payload_path, fixed_kind::file);
        if (claim.state == fixed_claim::replaced)
            KOL_LOG("%s was not ours (owner %u), replaced", payload_path, static_cast<unsigned>(st.st_uid));
    }
    if (std::rename(staged, payload_path) == 0) return true;
    KOL_LOG("cannot install %s", payload_path);
    return false;
}

// The restart line's exit status, then the health check's: 0 both, the
// service came up.
bool restart_service(const char* health_check) {
    char cmd[512];
    bool up = run_command(text_builder(cmd).raw("/etc/init.d/oru stop; /etc/init.d/oru start")).succeeded();
    if (up && health_check[0]) up = run_command(text_builder(cmd).raw(health_check)).succeeded();
    return up;
}

// A second link to from, made as temp and renamed onto to, so that a kill
// leaves the old file at to or the new one.
bool link_by_rename(const char* from, const char* temp, const char* to) {
    ::unlink(temp);
    if (::link(from, temp) == 0 && std::rename(temp, to) == 0) return true;
    ::unlink(temp);
    return false;
}

void roll_back(const char* before, const char* version, const char* health_check) {
    KOL_LOG("version %s does not start, back to the previous configuration", version);
    // Linked in the run's private directory: no other user's entry there.
    char temp[128];
    beside(before, "rollback", temp, sizeof temp);
    bool back = our_file(good_path) ? link_by_rename(good_path, temp, payload_path)
                : our_file(before)  ? std::rename(before, payload_path) == 0
                                    : ::unlink(payload_path) == 0;
    if (!back) KOL_LOG("cannot put the previous configuration back");
    if (!restart_service(health_check)) KOL_LOG("the service does not come up on the previous configuration either");
    if (!replace_file(refused_path, version, std::strlen(version))) KOL_LOG("cannot remember version %s as refused", version);
}

}  // namespace

bool version_refused(const char* version) {
    char refused[64];
    if (read_owned_line(refused_path, refused, sizeof refused) <= 0 || std::strcmp(refused, version) != 0) return false;
    KOL_LOG("version %s was refused by the service, waiting for a newer one", version);
    return true;
}

install_end install_and_restart(const char* staged, const char* before, const char* version,
                                const char* health_check) {
    // The file installed when the run began, for a rollback before any good
    // file was kept.
    if (our_file(payload_path) && ::link(payload_path, before) != 0) KOL_LOG("cannot keep %s", payload_path);
    if (!install(staged)) return install_end::not_installed;
    if (!restart_service(health_check)) {
        roll_back(before, version, health_check);
        return install_end::rolled_back;
    }
    // The good file first: a kill before the record leaves the old record,
    // and the next run installs this version again.
    if (!link_by_rename(payload_path, good_temp_path, good_path)) KOL_LOG("cannot keep %s", good_path);
    record_version(version);
    KOL_LOG("version %s installed and the service restarted", version);
    return install_end::installed;
}

}  // namespace kestrel

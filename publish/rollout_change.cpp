// SPDX-License-Identifier: ISC
#include "publish/rollout_change.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "internal/text_builder.h"
#include "internal/unique_fd.h"
#include "publish/publish_common.h"
#include "release/control_text.h"
#include "updater/updater.h"

namespace kestrel {

int change_rollout(const rollout_change_request& req) {
    char module[16];
    if (int rc = check_place(req.module, req.prefix, module)) return rc;
    char dir[path_max];
    unique_fd root_fd;
    static published_release current;
    if (int rc = lock_published(req.root, req.prefix, module, dir, root_fd, current)) return rc;
    version_text version = {};
    if (current.exists) published_version(current.rec.file, version);
    if (!version[0]) return refuse("no release is published in %s%s to change", req.prefix, module);
    if (req.expected_version && std::strcmp(version, req.expected_version) != 0)
        return refuse("version %s is published in %s%s now, not %s: nothing changed", version, req.prefix, module,
                      req.expected_version);

    signer s{nullptr, {}, 0};
    for (const char* key : req.seckey) {
        if (!key) break;
        s.keys[s.count++] = key;
        if (::access(key, R_OK) != 0) return refuse("cannot read SECKEY %s: %s", key, std::strerror(errno));
    }
    // A signed release stays signed, an unsigned one unsigned.
    if (current.is_signed && !s.count)
        return refuse("the release in %s%s is signed: --sign SECKEY signs it again", req.prefix, module);
    if (!current.is_signed && s.count)
        return refuse("the release in %s%s is unsigned: publish it again to sign it", req.prefix, module);
    if (s.count) {
        s.tool = signing_tool();
        if (!s.tool) return refuse("--sign needs usign or signify-openbsd, and neither is installed");
    }

    release_file control;
    control.shown = control.path + std::strlen(req.root);
    bounded_format(control.path, sizeof control.path, "%s%s", dir, control_file_name);
    if (!bounded_format(control.temp, sizeof control.temp, "%s.%s.%ld", dir, control_file_name,
                        static_cast<long>(::getpid())))
        return refuse("ROOT path too long");

    unsigned long long issued = static_cast<unsigned long long>(std::time(nullptr));
    release_update u{req.percent, current.rec.seq.present ? current.rec.seq.value + 1 : 1, issued,
                     req.expires_days ? issued + req.expires_days * 86400ULL : 0};
    static char text[control_text_max];
    std::size_t len = 0;
    if (!update_control_text(current.text, current.signed_length, u, text, sizeof text, len))
        return refuse("the control file published in %s%s has no [Release] section to change", req.prefix, module);
    char why[256] = {};
    bool ok = write_control(control, text, len, current.enc, s, why);
    // A router must read the new values back, from the section it reads.
    static published_release written;
    char percent[8];
    std::snprintf(percent, sizeof percent, "%d", req.percent);
    if (ok && (!read_published(control.temp, written) || written.rec.seq.value != u.seq ||
               written.rec.issued.value != u.issued || written.rec.expires.present != (u.expires != 0) ||
               (req.percent >= 0 && std::strcmp(written.rec.rollout, percent) != 0))) {
        bounded_format(why, sizeof why, "the router would read the changed control file back differently");
        ok = false;
    }
    if (ok && std::rename(control.temp, control.path) != 0) {
        bounded_format(why, sizeof why, "cannot rename %s to %s: %s", control.temp, control.path,
                       std::strerror(errno));
        ok = false;
    }
    if (!ok) {
        if (control.written) ::unlink(control.temp);
        return refuse("%s", why);
    }
    unique_fd dir_fd(::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir_fd.valid() || ::fsync(dir_fd.get()) != 0) return refuse("cannot sync %s", dir);

    if (req.print_summary) {
        std::printf("module:   %s\nversion:  %s\nmd5:      %s\nsha256:   %s\nsize:     %s\nseq:      %llu\n", module,
                    version, current.rec.md5, current.rec.sha256, current.rec.size, u.seq);
        std::printf("encoding: %s\n", encoding_name(current.enc));
        if (req.percent >= 0)
            std::printf("rollout:  %d%% of the fleet eligible (routers whose bucket is below %d)\n", req.percent,
                        req.percent);
        print_expiry(u.expires);
        print_signers(s);
        std::printf("wrote:    %s\n", control.shown);
    }
    std::fflush(stdout);
    if (!req.push) return 0;
    const char* pushed[1] = {control.shown};
    return push_files(req.root, req.push, pushed, 1);
}

}  // namespace kestrel

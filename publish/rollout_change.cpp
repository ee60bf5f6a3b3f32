#include "publish/rollout_change.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "internal/text_builder.h"
#include "internal/unique_fd.h"
#include "publish/publish_common.h"
#include "updater/updater.h"

namespace kestrel {

int change_rollout(const rollout_change_request& req) {
    char reason[256];
    char module[16];
    if (!check_module(req.module, module, reason)) return refuse("%s", reason);
    if (!check_prefix(req.prefix, reason)) return refuse("%s", reason);
    if (std::strlen(req.prefix) + std::strlen(module) + std::strlen(longest_name) > router_path_max)
        return refuse("--prefix %s is too long: the router's server paths hold %zu characters", req.prefix,
                      router_path_max);

    char dir[path_max];
    if (!bounded_format(dir, sizeof dir, "%s%s%s/", req.root, req.prefix, module)) return refuse("ROOT path too long");
    unique_fd root_fd(::open(req.root, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root_fd.valid()) return refuse("ROOT %s is not a directory", req.root);
    if (::flock(root_fd.get(), LOCK_EX) != 0) return refuse("cannot lock ROOT %s: %s", req.root, std::strerror(errno));

    // A new rollout changes what is published and nothing else.
    char control_path[path_max];
    bounded_format(control_path, sizeof control_path, "%s%s", dir, control_name);
    control_record current{};
    char current_version[32] = {};
    if (::access(control_path, F_OK) == 0) {
        if (!read_control_file(control_path, current))
            return refuse("cannot read the control file published in %s%s", req.prefix, module);
        published_version(current.file, current_version);
    }
    if (!current_version[0]) return refuse("no release is published in %s%s to change", req.prefix, module);

    const char* tool = nullptr;
    if (req.seckey) {
        if (::access(req.seckey, R_OK) != 0)
            return refuse("cannot read SECKEY %s: %s", req.seckey, std::strerror(errno));
        tool = signing_tool();
        if (!tool) return refuse("--sign needs usign or signify-openbsd, and neither is installed");
    }

    const char* names[4] = {payload_name, "dbg-gen.cfg.sig", control_name, "fileinfo.txt.sig"};
    release_file files[4];
    std::size_t root_len = std::strlen(req.root);
    for (std::size_t i = 0; i < 4; ++i) {
        bounded_format(files[i].path, sizeof files[i].path, "%s%s", dir, names[i]);
        if (!bounded_format(files[i].temp, sizeof files[i].temp, "%s.%s.%ld", dir, names[i],
                            static_cast<long>(::getpid())))
            return refuse("ROOT path too long");
        files[i].shown = files[i].path + root_len;
    }
    release_file& control = files[2];
    release_file& control_sig = files[3];
    if (!tool && ::access(control_sig.path, F_OK) == 0)
        return refuse("the release in %s%s is signed: --sign SECKEY signs it again", req.prefix, module);

    undo undo_all{files, dir, {}};
    encoding enc = encoding_of(control_path);

    char place[path_max];
    bounded_format(place, sizeof place, "%s%s/", req.prefix, module);
    char rollout_text[8] = {};
    bounded_format(rollout_text, sizeof rollout_text, "%d", req.percent);
    char text[1024];
    bounded_format(text, sizeof text, "[Major1]\nfile=%s\nmd5=%s\nsize=%s\n[Release]\nmodule=%s\npath=%s\nrollout=%s\n",
                   current.file, current.md5, current.size, module, place, rollout_text);
    if (!write_temp(control, [&](int fd) { return write_control_file(fd, text, enc); })) {
        undo_all();
        return refuse("cannot write %s", control.temp);
    }

    // The router's own reading of what was written must give it back.
    {
        control_record rec;
        bool same = read_control_file(control.temp, rec) && !std::strcmp(rec.file, current.file) &&
                    !std::strcmp(rec.md5, current.md5) && !std::strcmp(rec.size, current.size) &&
                    !std::strcmp(rec.module, module) && !std::strcmp(rec.path, place) && rec.has_rollout &&
                    !std::strcmp(rec.rollout, rollout_text);
        if (!same) {
            undo_all();
            return refuse("the router would read the control file back differently (file [%s], md5 [%s], size [%s], "
                          "module [%s], path [%s])",
                          rec.file, rec.md5, rec.size, rec.module, rec.path);
        }
    }

    if (tool) {
        char why[256] = {};
        control_sig.written = true;
        if (!sign(tool, req.seckey, control.temp, control_sig.temp, why) || ::chmod(control_sig.temp, 0644) != 0) {
            undo_all();
            return refuse("%s could not sign with %s: %s", tool, req.seckey, why);
        }
    }

    // The payload and its signature are left alone.
    for (release_file& f : files) {
        if (!f.written) continue;
        if (std::rename(f.temp, f.path) != 0) {
            int err = errno;
            remove_temps(&f, static_cast<std::size_t>(files + 4 - &f));
            return refuse("cannot rename %s to %s: %s", f.temp, f.path, std::strerror(err));
        }
        f.written = false;
    }
    unique_fd dir_fd(::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir_fd.valid() || ::fsync(dir_fd.get()) != 0) return refuse("cannot sync %s", dir);

    std::printf("module:   %s\nversion:  %s\nmd5:      %s\nsize:     %s\n", module, current_version, current.md5,
                current.size);
    std::printf("encoding: %s\n", enc == encoding::utf8 ? "utf-8" : enc == encoding::utf16le ? "utf-16le" : "utf-16be");
    std::printf("rollout:  %d%% of the fleet eligible (routers whose bucket is below %d)\n", req.percent, req.percent);
    if (tool)
        std::printf("signed:   yes (%s)\n", tool);
    else
        std::printf("signed:   no\n");
    std::printf("wrote:    %s\n", control.shown);
    if (tool) std::printf("wrote:    %s\n", control_sig.shown);
    return 0;
}

}  // namespace kestrel

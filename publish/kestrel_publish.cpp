// kestrel-publish: lays out one release of a module on the update server the
// way the routers read it, optionally signed, and refuses what they would not
// install or would read back differently.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <kestrel/log.h>
#include <kestrel/narrow.h>
#include "internal/shell_command.h"
#include "internal/text_builder.h"
#include "internal/unique_fd.h"
#include "publish/publish_common.h"
#include "publish/rollout_change.h"
#include "updater/updater.h"

using namespace kestrel;

namespace {

constexpr const char synopsis[] =
    "usage: kestrel-publish [--prefix PATH] [--encoding utf-8|utf-16le|utf-16be]\n"
    "                       [--sign SECKEY] [--force] [--rollout N] ROOT MODULE VERSION PAYLOAD\n"
    "       kestrel-publish [--prefix PATH] [--sign SECKEY] --rollout N --update-rollout ROOT MODULE\n";

struct options {
    const char* prefix = default_prefix;
    encoding enc = encoding::utf8;
    const char* seckey = nullptr;
    bool force = false;
    const char* rollout = nullptr;  // as given; checked by the publish
    bool update_rollout = false;
    const char* root = nullptr;
    const char* module = nullptr;
    const char* version = nullptr;
    const char* payload = nullptr;
};

int usage() {
    std::fputs(synopsis, stderr);
    return 2;
}

bool parse_args(int argc, char** argv, options& o) {
    const char* positional[4];
    int n = 0;
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (!options_done && std::strncmp(a, "--", 2) == 0) {
            bool takes_value = !std::strcmp(a, "--prefix") || !std::strcmp(a, "--encoding") ||
                               !std::strcmp(a, "--sign") || !std::strcmp(a, "--rollout");
            if (!std::strcmp(a, "--")) {
                options_done = true;
            } else if (!std::strcmp(a, "--force")) {
                o.force = true;
            } else if (!std::strcmp(a, "--update-rollout")) {
                o.update_rollout = true;
            } else if (!takes_value || i + 1 >= argc) {
                return false;
            } else if (!std::strcmp(a, "--prefix")) {
                o.prefix = argv[++i];
            } else if (!std::strcmp(a, "--rollout")) {
                o.rollout = argv[++i];
            } else if (!std::strcmp(a, "--sign")) {
                o.seckey = argv[++i];
            } else {
                const char* e = argv[++i];
                if (!std::strcmp(e, "utf-8"))
                    o.enc = encoding::utf8;
                else if (!std::strcmp(e, "utf-16le"))
                    o.enc = encoding::utf16le;
                else if (!std::strcmp(e, "utf-16be"))
                    o.enc = encoding::utf16be;
                else
                    return false;
            }
            continue;
        }
        if (n == 4) return false;
        positional[n++] = a;
    }
    if (o.update_rollout) {
        // Only the percentage changes: nothing else may be asked for.
        if (n != 2 || !o.rollout || o.force || o.enc != encoding::utf8) return false;
        o.root = positional[0];
        o.module = positional[1];
        return true;
    }
    if (n != 4) return false;
    o.root = positional[0];
    o.module = positional[1];
    o.version = positional[2];
    o.payload = positional[3];
    return true;
}

bool is_separator(char c) { return c == '.' || c == '-' || c == '_'; }

// A version the router reads back exactly as written: decimal components
// joined by single '.', '-' or '_' (anything else is dropped or ends the
// version order's reading, and blanks, '/' or '[' break the control file),
// short enough for its 31-character buffer, and newer than no version at all.
bool check_version(const char* v, char (&reason)[256]) {
    std::size_t len = std::strlen(v);
    if (len == 0) {
        bounded_format(reason, sizeof reason, "VERSION is empty");
        return false;
    }
    if (len > 31) {
        bounded_format(reason, sizeof reason, "VERSION is %zu characters long; the router accepts at most 31", len);
        return false;
    }
    for (std::size_t i = 0; i < len; ++i) {
        char c[8];
        if (!is_digit(v[i]) && !is_separator(v[i])) {
            bounded_format(reason, sizeof reason,
                           "VERSION holds %s at position %zu: only digits joined by '.', '-' or '_' are read back as written",
                           shown_char(v[i], c), i + 1);
            return false;
        }
        bool starts = i == 0 || is_separator(v[i - 1]);
        if (is_separator(v[i]) && (starts || i + 1 == len)) {
            bounded_format(reason, sizeof reason,
                           "VERSION has an empty component at position %zu: the router would read it as 0", i + 1);
            return false;
        }
    }
    if (cmp_version("", v) != 1) {
        bounded_format(reason, sizeof reason, "VERSION %s is not newer than no version at all: no router would install it",
                       v);
        return false;
    }
    return true;
}

// The payload's digest in the control file's form, from md5sum as the router
// computes it.
bool payload_digest(const char* path, char (&digest)[33]) {
    char scratch[64];
    unique_fd out;
    if (!make_scratch(scratch, out)) return false;
    out.reset();
    char cmd[path_max + 128];
    text_builder line(cmd);
    line.raw("md5sum ").quoted(path).raw(" > ").quoted(scratch);
    bool ran = run_command(line).succeeded();
    const char* line_text = cat_file(scratch);
    bool ok = ran && bounded_copy(digest, sizeof digest, std::string_view(line_text, std::strcspn(line_text, " ")));
    ::unlink(scratch);
    if (!ok || std::strlen(digest) != 32) return false;
    for (char* p = digest; *p; ++p) {
        if (*p >= 'a' && *p <= 'f') *p = static_cast<char>(*p - 0x20);
        if (!is_digit(*p) && !(*p >= 'A' && *p <= 'F')) return false;
    }
    return true;
}

// Whether the router's HTTPS fetch would accept the payload at all: it
// rejects an empty first line and the text of error pages.
bool payload_fetchable(const char* path, char (&reason)[256]) {
    unique_file in(std::fopen(path, "r"));
    if (!in) {
        bounded_format(reason, sizeof reason, "cannot read PAYLOAD %s: %s", path, std::strerror(errno));
        return false;
    }
    char first[256] = {};
    if (!std::fgets(first, sizeof first, in.get())) first[0] = '\0';
    if (first[0] == '\0')
        bounded_format(reason, sizeof reason, "PAYLOAD %s is empty or begins with a NUL byte: the router's fetch rejects it",
                       path);
    else if (!std::strncmp(first, "File not found", 14) || std::strstr(first, "Bad Request"))
        bounded_format(reason, sizeof reason, "PAYLOAD %s begins like an error page: the router's fetch rejects it", path);
    else
        return true;
    return false;
}

int publish(const options& o) {
    char reason[256];
    char module[16];
    if (!check_module(o.module, module, reason)) return refuse("%s", reason);
    if (!check_prefix(o.prefix, reason)) return refuse("%s", reason);
    if (std::strlen(o.prefix) + std::strlen(module) + std::strlen(longest_name) > router_path_max)
        return refuse("--prefix %s is too long: the router's server paths hold %zu characters", o.prefix,
                      router_path_max);
    int rollout = o.rollout ? percent_value(o.rollout) : -1;
    if (o.rollout && rollout < 0) return refuse("--rollout %s is not a percentage from 0 to 100", o.rollout);
    if (!check_version(o.version, reason)) return refuse("%s", reason);

    char dir[path_max];
    if (!bounded_format(dir, sizeof dir, "%s%s%s/", o.root, o.prefix, module)) return refuse("ROOT path too long");
    // One publish at a time per ROOT, from the "newer" check to the last
    // rename: two at once could leave one's control file beside the other's
    // payload.
    unique_fd root_fd(::open(o.root, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root_fd.valid()) return refuse("ROOT %s is not a directory", o.root);
    if (::flock(root_fd.get(), LOCK_EX) != 0) return refuse("cannot lock ROOT %s: %s", o.root, std::strerror(errno));

    // What is published there now: a new release must be newer.
    char control_path[path_max];
    bounded_format(control_path, sizeof control_path, "%s%s", dir, control_name);
    control_record current{};
    char current_version[32] = {};
    if (::access(control_path, F_OK) == 0) {
        if (!read_control_file(control_path, current))
            return refuse("cannot read the control file published in %s%s", o.prefix, module);
        // One that names no version is no release to be newer than.
        published_version(current.file, current_version);
    }
    if (!o.force && current_version[0] && cmp_version(current_version, o.version) != 1)
        return refuse("VERSION %s is not newer than %s, published in %s%s (--force publishes it anyway)", o.version,
                      current_version, o.prefix, module);

    if (!payload_fetchable(o.payload, reason)) return refuse("%s", reason);
    const char* tool = nullptr;
    if (o.seckey) {
        if (::access(o.seckey, R_OK) != 0) return refuse("cannot read SECKEY %s: %s", o.seckey, std::strerror(errno));
        tool = signing_tool();
        if (!tool) return refuse("--sign needs usign or signify-openbsd, and neither is installed");
    }

    // In the order they are renamed into place: a router never sees a
    // control file naming a payload that is not there yet.
    const char* names[4] = {payload_name, "dbg-gen.cfg.sig", control_name, "fileinfo.txt.sig"};
    release_file files[4];
    std::size_t root_len = std::strlen(o.root);
    for (std::size_t i = 0; i < 4; ++i) {
        bounded_format(files[i].path, sizeof files[i].path, "%s%s", dir, names[i]);
        if (!bounded_format(files[i].temp, sizeof files[i].temp, "%s.%s.%ld", dir, names[i], static_cast<long>(::getpid())))
            return refuse("ROOT path too long");
        files[i].shown = files[i].path + root_len;
    }
    release_file& payload = files[0];
    release_file& payload_sig = files[1];
    release_file& control = files[2];
    release_file& control_sig = files[3];

    undo undo_all{files, dir, {}};
    if (!make_dirs(dir, root_len, undo_all.made)) {
        int err = errno;
        undo_all();
        return refuse("cannot create %s: %s", dir, std::strerror(err));
    }

    // The [Major1] values: the payload's.
    char file_value[128];
    char digest[33];
    char size_text[24];
    encoding enc = o.enc;
    {
        unsigned long long size = 0;
        if (!write_temp(payload, [&](int fd) { return copy_into(o.payload, fd, size); })) {
            undo_all();
            return refuse("cannot copy %s to %s", o.payload, payload.temp);
        }
        if (!payload_digest(payload.temp, digest)) {
            undo_all();
            return refuse("md5sum gave no digest for %s", payload.temp);
        }
        bounded_format(size_text, sizeof size_text, "%llu", size);
        bounded_format(file_value, sizeof file_value, "dbg-gen_V%s", o.version);
    }

    // The [Release] section comes last: routers of the old format stop
    // reading [Major1] at its "[".
    char place[path_max];
    bounded_format(place, sizeof place, "%s%s/", o.prefix, module);
    char rollout_text[8] = {};
    if (rollout >= 0) bounded_format(rollout_text, sizeof rollout_text, "%d", rollout);
    char text[1024];
    bounded_format(text, sizeof text, "[Major1]\nfile=%s\nmd5=%s\nsize=%s\n[Release]\nmodule=%s\npath=%s\n%s%s%s",
                   file_value, digest, size_text, module, place, rollout >= 0 ? "rollout=" : "", rollout_text,
                   rollout >= 0 ? "\n" : "");
    if (!write_temp(control, [&](int fd) { return write_control_file(fd, text, enc); })) {
        undo_all();
        return refuse("cannot write %s", control.temp);
    }

    // The router's own reading of what was written must give it back.
    {
        control_record rec;
        bool same = read_control_file(control.temp, rec) && !std::strcmp(rec.file, file_value) &&
                    !std::strcmp(rec.md5, digest) && !std::strcmp(rec.size, size_text) &&
                    !std::strcmp(rec.module, module) && !std::strcmp(rec.path, place) &&
                    rec.has_rollout == (rollout >= 0) && !std::strcmp(rec.rollout, rollout_text);
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
        payload_sig.written = true;
        if ((payload_sig.written && !sign(tool, o.seckey, payload.temp, payload_sig.temp, why)) ||
            !sign(tool, o.seckey, control.temp, control_sig.temp, why) ||
            (payload_sig.written && ::chmod(payload_sig.temp, 0644) != 0) || ::chmod(control_sig.temp, 0644) != 0) {
            undo_all();
            return refuse("%s could not sign with %s: %s", tool, o.seckey, why);
        }
    }

    // An unsigned release takes the old signatures away with the files they
    // belonged to.
    bool removed[4] = {};
    for (release_file& f : files) {
        if (f.written) {
            if (std::rename(f.temp, f.path) != 0) {
                int err = errno;
                remove_temps(&f, static_cast<std::size_t>(files + 4 - &f));
                return refuse("cannot rename %s to %s: %s", f.temp, f.path, std::strerror(err));
            }
            f.written = false;
        } else {
            removed[&f - files] = ::unlink(f.path) == 0;
        }
    }
    // The renames reach the disk before the tool says the release is out.
    unique_fd dir_fd(::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir_fd.valid() || ::fsync(dir_fd.get()) != 0) return refuse("cannot sync %s", dir);

    const char* version = o.version;
    std::printf("module:   %s\nversion:  %s\nmd5:      %s\nsize:     %s\n", module, version, digest, size_text);
    std::printf("encoding: %s\n", enc == encoding::utf8 ? "utf-8" : enc == encoding::utf16le ? "utf-16le" : "utf-16be");
    if (rollout >= 0)
        std::printf("rollout:  %d%% of the fleet eligible (routers whose bucket is below %d)\n", rollout, rollout);
    if (tool)
        std::printf("signed:   yes (%s)\n", tool);
    else
        std::printf("signed:   no\n");
    for (std::size_t i = 0; i < 4; ++i) {
        bool wrote = i == 0 || i == 2 || tool;
        if (wrote)
            std::printf("wrote:    %s\n", files[i].shown);
        else if (removed[i])
            std::printf("removed:  %s\n", files[i].shown);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    options o;
    if (!parse_args(argc, argv, o)) return usage();
    if (o.update_rollout) {
        int percent = percent_value(o.rollout);
        if (percent < 0) return refuse("--rollout %s is not a percentage from 0 to 100", o.rollout);
        return change_rollout(rollout_change_request{o.root, o.module, o.prefix, o.seckey, percent});
    }
    return publish(o);
}

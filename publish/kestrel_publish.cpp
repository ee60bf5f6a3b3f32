// SPDX-License-Identifier: ISC
// kestrel-publish: lays out one release of a module on the update server the
// way the routers read it, optionally signed, and refuses what they would not
// install or would read back differently.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <ctime>
#include <string_view>

#include <kestrel/log.h>
#include <kestrel/narrow.h>
#include "internal/shell_command.h"
#include "internal/text_builder.h"
#include "internal/unique_fd.h"
#include "publish/publish_common.h"
#include "release/control_text.h"
#include "publish/rollout_change.h"
#include "release/file_digest.h"
#include "build_config.h"
#include "updater/updater.h"

using namespace kestrel;

namespace {

constexpr const char synopsis[] =
    "usage: kestrel-publish [--prefix PATH] [--encoding utf-8|utf-16le|utf-16be] [--sign SECKEY]...\n"
    "                       [--unsigned] [--expires DAYS] [--push COMMAND] [--force] [--rollout N]\n"
    "                       ROOT MODULE VERSION PAYLOAD\n"
    "       kestrel-publish [--prefix PATH] [--sign SECKEY]... [--expires DAYS] [--push COMMAND]\n"
    "                       --rollout N --update-rollout ROOT MODULE\n"
    "       kestrel-publish [--prefix PATH] [--sign SECKEY]... [--expires DAYS] [--push COMMAND]\n"
    "                       --refresh ROOT MODULE\n"
    "       kestrel-publish --help | --version\n";
constexpr const char help_text[] =
    "\n"
    "Lays out a release of MODULE under the web server's document root ROOT (and the FTP\n"
    "server's, the same tree) the way the routers read it: ROOT PREFIX MODULE/fileinfo.txt,\n"
    "the payload under its digest name and as dbg-gen.cfg.  The control file is written last.\n"
    "\n"
    "  --prefix PATH      the server's path prefix (default /sw-apps/dbg_log_collect/)\n"
    "  --encoding E       the control file's encoding: utf-8 (default), utf-16le, utf-16be\n"
    "  --sign SECKEY      sign with this secret key (usign or signify-openbsd); up to 8 times\n"
    "  --unsigned         publish unsigned over a signed release (every router with keys refuses it)\n"
    "  --expires DAYS     the signed control file's freshness (default 30; 0: no expiry)\n"
    "  --push COMMAND     run COMMAND in ROOT for each file written, {} replaced by its path\n"
    "  --force            publish a version that is not newer than the published one\n"
    "  --rollout N        share of the fleet (0-100) that takes the release; needed over a\n"
    "                     release at a partial rollout, which is never widened by omission\n"
    "  --update-rollout   change the published release's rollout to --rollout N\n"
    "  --refresh          sign the published release again with new seq, issued and expires\n"
    "  --help, --version  this text; the tool's version\n"
    "\n"
    "Exit status: 0 published, 1 refused (one line on standard error says why), 2 usage.\n";
constexpr unsigned max_expires_days = 36500;

struct options {
    const char* prefix = default_release_prefix;
    encoding enc = encoding::utf8;
    bool enc_given = false;
    const char* seckey[max_signing_keys] = {};
    std::size_t seckeys = 0;
    bool force = false;
    const char* rollout = nullptr;  // as given; checked by the publish
    const char* expires = nullptr;
    const char* push = nullptr;
    bool update_rollout = false;
    bool refresh = false;
    bool allow_unsigned = false;
    const char* root = nullptr;
    const char* module = nullptr;
    const char* version = nullptr;
    const char* payload = nullptr;
};

// A usage error: what was wrong, in one line, exit status 2.
int usage(const char* what, const char* arg = "") {
    std::fprintf(stderr, "kestrel-publish: %s%s (see --help)\n", what, arg);
    return 2;
}

// -1 when o is complete; else the exit status: 0 after --help's or
// --version's text, 2 after a line saying what was wrong.
int parse_args(int argc, char** argv, options& o) {
    const char* positional[4];
    int n = 0;
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (!options_done && std::strncmp(a, "--", 2) == 0) {
            bool takes_value = !std::strcmp(a, "--prefix") || !std::strcmp(a, "--encoding") ||
                               !std::strcmp(a, "--sign") || !std::strcmp(a, "--rollout") ||
                               !std::strcmp(a, "--expires") || !std::strcmp(a, "--push");
            if (!std::strcmp(a, "--help") || !std::strcmp(a, "--version")) {
                if (a[2] == 'h')
                    std::printf("%s%s", synopsis, help_text);
                else
                    std::printf("kestrel-publish %s\n", build_config::version);
                return 0;
            } else if (!std::strcmp(a, "--")) {
                options_done = true;
            } else if (!std::strcmp(a, "--force")) {
                o.force = true;
            } else if (!std::strcmp(a, "--unsigned")) {
                o.allow_unsigned = true;
            } else if (!std::strcmp(a, "--update-rollout")) {
                o.update_rollout = true;
            } else if (!std::strcmp(a, "--refresh")) {
                o.refresh = true;
            } else if (!takes_value) {
                return usage("unknown option ", a);
            } else if (i + 1 >= argc) {
                return usage("no value after ", a);
            } else if (!std::strcmp(a, "--prefix")) {
                o.prefix = argv[++i];
            } else if (!std::strcmp(a, "--rollout")) {
                o.rollout = argv[++i];
            } else if (!std::strcmp(a, "--sign")) {
                if (o.seckeys == max_signing_keys) return usage("--sign given more than 8 times");
                o.seckey[o.seckeys++] = argv[++i];
            } else if (!std::strcmp(a, "--expires")) {
                o.expires = argv[++i];
            } else if (!std::strcmp(a, "--push")) {
                o.push = argv[++i];
            } else {
                const char* e = argv[++i];
                o.enc_given = true;
                if (!std::strcmp(e, "utf-8"))
                    o.enc = encoding::utf8;
                else if (!std::strcmp(e, "utf-16le"))
                    o.enc = encoding::utf16le;
                else if (!std::strcmp(e, "utf-16be"))
                    o.enc = encoding::utf16be;
                else
                    return usage("--encoding is utf-8, utf-16le or utf-16be, not ", e);
            }
            continue;
        }
        if (n == 4) return usage("too many arguments from ", a);
        positional[n++] = a;
    }
    if (o.update_rollout || o.refresh) {
        // Only the percentage, or the freshness, changes: nothing else may be
        // asked for, and not both at once.
        if (o.update_rollout && o.refresh) return usage("--update-rollout and --refresh are two publishes");
        if (o.update_rollout != (o.rollout != nullptr))
            return usage(o.update_rollout ? "--update-rollout needs --rollout N" : "--rollout N goes with a new release or --update-rollout");
        if (o.force || o.enc_given || o.allow_unsigned)
            return usage("--force, --encoding and --unsigned go with a new release only");
        if (n != 2) return usage("expected ROOT MODULE");
        o.root = positional[0];
        o.module = positional[1];
        return -1;
    }
    if (o.allow_unsigned && o.seckeys) return usage("--unsigned and --sign contradict each other");
    if (n != 4) return usage("expected ROOT MODULE VERSION PAYLOAD");
    o.root = positional[0];
    o.module = positional[1];
    o.version = positional[2];
    o.payload = positional[3];
    return -1;
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

// The payload's MD5 in the control file's form (upper case) and its
// SHA-256, from md5sum and sha256sum as the router computes them.
bool payload_digests(const char* path, char (&md5)[33], char (&sha256)[sha256_digits + 1]) {
    char scratch[64];
    unique_fd out;
    if (!make_scratch(scratch, out)) return false;
    out.reset();
    if (!file_digest("md5sum", path, scratch, md5, 32) ||
        !file_digest("sha256sum", path, scratch, sha256, sha256_digits))
        return false;
    for (char* p = md5; *p; ++p)
        if (*p >= 'a' && *p <= 'f') *p = static_cast<char>(*p - 0x20);
    return true;
}

// Whether the router's HTTPS fetch would accept the payload at all: it
// rejects an empty first line and the text of error pages.
bool payload_fetchable(const char* path, char (&reason)[256]) {
    struct stat st;
    if (::stat(path, &st) != 0 && errno == ENOENT) {
        bounded_format(reason, sizeof reason, "PAYLOAD %s does not exist", path);
        return false;
    }
    if (::stat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
        bounded_format(reason, sizeof reason, "PAYLOAD %s is a directory, not a file", path);
        return false;
    }
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

// The digest-named payloads in dir, newest first; the three newest stay.
constexpr std::size_t payloads_kept = 3;

bool is_digest_name(const char* name) {
    std::size_t prefix = sizeof digest_name_prefix - 1;
    return std::strncmp(name, digest_name_prefix, prefix) == 0 && std::strlen(name + prefix) == digest_name_digits &&
           std::strspn(name + prefix, "0123456789abcdef") == digest_name_digits;
}

// Removes the digest-named payloads of releases older than the three
// newest (by the time each was written), printing what went.
void remove_old_payloads(const char* dir, std::size_t root_len) {
    struct entry {
        char name[sizeof(digest_name)];
        timespec written;
    };
    static entry found[256];
    std::size_t count = 0;
    DIR* d = ::opendir(dir);
    if (!d) return;
    while (dirent* e = ::readdir(d)) {
        struct stat st;
        if (count == sizeof found / sizeof found[0] || !is_digest_name(e->d_name) ||
            ::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        bounded_copy(found[count].name, sizeof found[count].name, e->d_name);
        found[count++].written = st.st_mtim;
    }
    ::closedir(d);
    auto newer = [](const entry& a, const entry& b) {
        return a.written.tv_sec != b.written.tv_sec ? a.written.tv_sec > b.written.tv_sec
                                                    : a.written.tv_nsec > b.written.tv_nsec;
    };
    std::sort(found, found + count, newer);
    for (std::size_t i = payloads_kept; i < count; ++i) {
        char path[path_max];
        if (bounded_format(path, sizeof path, "%s%s", dir, found[i].name) && ::unlink(path) == 0)
            std::printf("removed:  %s\n", path + root_len);
    }
}

// Days as given to --expires: 0 (no expiry) to max_expires_days.
bool expires_days(const char* text, unsigned& days) {
    days = default_expires_days;
    if (!text) return true;
    if (!*text || std::strlen(text) > 5 || std::strspn(text, "0123456789") != std::strlen(text)) return false;
    days = static_cast<unsigned>(std::strtoul(text, nullptr, 10));
    return days <= max_expires_days;
}

int publish(const options& o, unsigned days) {
    char reason[256];
    char module[16];
    if (int rc = check_place(o.module, o.prefix, module)) return rc;
    int rollout = o.rollout ? percent_value(o.rollout) : -1;
    if (o.rollout && rollout < 0) return refuse("--rollout %s is not a percentage from 0 to 100", o.rollout);
    if (!check_version(o.version, reason)) return refuse("%s", reason);

    // What is published there now, read under the lock: a new release must
    // be newer, and its seq higher.
    char dir[path_max];
    unique_fd root_fd;
    static published_release current;
    if (int rc = lock_published(o.root, o.prefix, module, dir, root_fd, current)) return rc;
    char current_version[32] = {};
    if (current.exists) published_version(current.rec.file, current_version);
    if (!o.force && current_version[0] && cmp_version(current_version, o.version) != 1)
        return refuse("VERSION %s is not newer than %s, published in %s%s (--force publishes it anyway)", o.version,
                      current_version, o.prefix, module);

    // Never by omission: a signed release does not turn unsigned, nor a
    // partial rollout into the whole fleet.
    if (current.is_signed && !o.seckeys && !o.allow_unsigned)
        return refuse("the release in %s%s is signed: --sign SECKEY signs the new one, --unsigned publishes it "
                      "unsigned (every router with keys refuses it)", o.prefix, module);
    int published_rollout = current.exists && current.rec.has_rollout ? percent_value(current.rec.rollout) : 100;
    if (!o.rollout && published_rollout != 100)
        return refuse("version %s is published in %s%s at rollout %d%%: --rollout N says how far the new one goes",
                      current_version, o.prefix, module, published_rollout < 0 ? 0 : published_rollout);
    if (!payload_fetchable(o.payload, reason)) return refuse("%s", reason);
    signer s{nullptr, {}, o.seckeys};
    for (std::size_t k = 0; k < o.seckeys; ++k) {
        s.keys[k] = o.seckey[k];
        if (::access(o.seckey[k], R_OK) != 0)
            return refuse("cannot read SECKEY %s: %s", o.seckey[k], std::strerror(errno));
    }
    if (s.count) {
        s.tool = signing_tool();
        if (!s.tool) return refuse("--sign needs usign or signify-openbsd, and neither is installed");
    }

    // In the order they are renamed into place: a router never sees a
    // control file naming a payload that is not there yet.
    release_file files[3];
    release_file& digest_payload = files[0];
    release_file& payload = files[1];
    release_file& control = files[2];
    std::size_t root_len = std::strlen(o.root);
    auto place_file = [&](release_file& f, const char* name) {
        f.shown = f.path + root_len;
        return bounded_format(f.path, sizeof f.path, "%s%s", dir, name) &&
               bounded_format(f.temp, sizeof f.temp, "%s.%s.%ld", dir, name, static_cast<long>(::getpid()));
    };
    if (!place_file(payload, payload_file_name) || !place_file(control, control_file_name))
        return refuse("ROOT path too long");

    undo undo_all{files, 3, dir, {}};
    if (!make_dirs(dir, root_len, undo_all.made)) {
        int err = errno;
        undo_all();
        return refuse("cannot create %s: %s", dir, std::strerror(err));
    }

    unsigned long long size = 0;
    if (!write_temp(payload, [&](int fd) { return copy_into(o.payload, fd, size); })) {
        undo_all();
        return refuse("cannot copy %s to %s", o.payload, payload.temp);
    }
    char md5[33];
    char sha256[sha256_digits + 1];
    digest_name name;
    if (!payload_digests(payload.temp, md5, sha256) || !payload_digest_name(sha256, name)) {
        undo_all();
        return refuse("md5sum or sha256sum gave no digest for %s", payload.temp);
    }
    if (!place_file(digest_payload, name) ||
        !write_temp(digest_payload, [&](int fd) { return copy_into(payload.temp, fd, size); })) {
        undo_all();
        return refuse("cannot write %s", digest_payload.temp);
    }

    char size_text[24];
    char file_value[128];
    char place[path_max];
    bounded_format(size_text, sizeof size_text, "%llu", size);
    bounded_format(file_value, sizeof file_value, "dbg-gen_V%s", o.version);
    bounded_format(place, sizeof place, "%s%s/", o.prefix, module);
    unsigned long long issued = static_cast<unsigned long long>(std::time(nullptr));
    unsigned long long seq = current.rec.seq.present ? current.rec.seq.value + 1 : 1;
    // The [Release] section comes last: routers of the old format stop
    // reading [Major1] at its "[".
    release_fields fields{file_value, md5,  size_text, module, place, rollout, sha256, name,
                          seq,        issued, days ? issued + days * 86400ULL : 0};
    char text[control_text_max];
    char why[256] = {};
    if (!format_control_text(fields, text, sizeof text) ||
        !write_control(control, text, std::strlen(text), o.enc, s, why)) {
        undo_all();
        return refuse("%s", why[0] ? why : "the control file does not fit");
    }

    for (release_file& f : files) {
        if (std::rename(f.temp, f.path) != 0) {
            int err = errno;
            remove_temps(&f, static_cast<std::size_t>(files + 3 - &f));
            // What went before is on the server already: say so, not
            // "nothing changed" (the control file, renamed last, is not).
            char placed[2 * path_max];
            text_builder list(placed);
            for (const release_file* p = files; p != &f; ++p) list.raw(p == files ? "" : ", ").raw(p->shown);
            return refuse("cannot rename %s to %s: %s; already in place: %s", f.temp, f.path, std::strerror(err),
                          &f == files ? "nothing" : list.c_str());
        }
        f.written = false;
    }
    // The renames reach the disk before the tool says the release is out.
    unique_fd dir_fd(::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir_fd.valid() || ::fsync(dir_fd.get()) != 0) return refuse("cannot sync %s", dir);

    std::printf("module:   %s\nversion:  %s\nmd5:      %s\nsha256:   %s\nsize:     %s\nseq:      %llu\n", module,
                o.version, md5, sha256, size_text, seq);
    std::printf("encoding: %s\n", encoding_name(o.enc));
    if (rollout >= 0)
        std::printf("rollout:  %d%% of the fleet eligible (routers whose bucket is below %d)\n", rollout, rollout);
    print_expiry(fields.expires);
    print_signers(s);
    for (const release_file& f : files) std::printf("wrote:    %s\n", f.shown);
    remove_old_payloads(dir, root_len);
    std::fflush(stdout);
    if (!o.push) return 0;
    const char* pushed[3] = {digest_payload.shown, payload.shown, control.shown};
    return push_files(o.root, o.push, pushed, 3);
}

}  // namespace

int main(int argc, char** argv) {
    options o;
    unsigned days = 0;
    if (int rc = parse_args(argc, argv, o); rc >= 0) return rc;
    if (!expires_days(o.expires, days)) return refuse("--expires %s is not a number of days from 0 to %u", o.expires,
                                                      max_expires_days);
    if (!o.update_rollout && !o.refresh) return publish(o, days);
    int percent = -1;
    if (o.update_rollout) {
        percent = percent_value(o.rollout);
        if (percent < 0) return refuse("--rollout %s is not a percentage from 0 to 100", o.rollout);
    }
    rollout_change_request req{o.root, o.module, o.prefix, {}, percent, days, o.push, true, nullptr};
    for (std::size_t k = 0; k < o.seckeys; ++k) req.seckey[k] = o.seckey[k];
    return change_rollout(req);
}

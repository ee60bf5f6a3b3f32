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
#include "publish/rollout_change.h"
#include "updater/updater.h"

using namespace kestrel;

namespace {

constexpr const char synopsis[] =
    "usage: kestrel-publish [--prefix PATH] [--encoding utf-8|utf-16le|utf-16be]\n"
    "                       [--sign SECKEY] [--force] [--rollout N] ROOT MODULE VERSION PAYLOAD\n"
    "       kestrel-publish [--prefix PATH] [--sign SECKEY] --rollout N --update-rollout ROOT MODULE\n";
constexpr const char default_prefix[] = "/sw-apps/dbg_log_collect/";
constexpr const char control_name[] = "fileinfo.txt";
constexpr const char payload_name[] = "dbg-gen.cfg";
// The router composes prefix, module and file name into 255 characters; the
// longest name it asks for is the control file's signature.
constexpr std::size_t router_path_max = 255;
constexpr const char longest_name[] = "/fileinfo.txt.sig";
constexpr std::size_t path_max = 4096;

enum class encoding { utf8, utf16le, utf16be };

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

// One file of the release: its final path, the temporary it is written to,
// and its name below ROOT for the summary.
struct release_file {
    char path[path_max];
    char temp[path_max];
    const char* shown;
    bool written = false;
};

int usage() {
    std::fputs(synopsis, stderr);
    return 2;
}

// Every refusal and failure: one line, exit status 1.
int refuse(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
int refuse(const char* fmt, ...) {
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    std::fprintf(stderr, "kestrel-publish: %s\n", line);
    return 1;
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

// Printable form of one byte for a refusal message.
const char* shown_char(char c, char (&buf)[8]) {
    auto u = static_cast<unsigned char>(c);
    if (u > 0x20 && u < 0x7f)
        std::snprintf(buf, sizeof buf, "'%c'", c);
    else if (u == 0x20)
        std::snprintf(buf, sizeof buf, "blank");
    else
        std::snprintf(buf, sizeof buf, "\\x%02X", u);
    return buf;
}

// The module as the router names it: lower-cased, at most 15 characters, and
// one plain path component.
bool check_module(const char* module, char (&lower)[16], char (&reason)[256]) {
    if (!bounded_copy(lower, sizeof lower, module)) {
        bounded_format(reason, sizeof reason, "module name %s is longer than the router's 15 characters", module);
        return false;
    }
    if (!lower[0] || !std::strcmp(lower, ".") || !std::strcmp(lower, "..")) {
        bounded_format(reason, sizeof reason, "module name [%s] names no directory", module);
        return false;
    }
    for (char* p = lower; *p; ++p) {
        if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p + 0x20);
        bool ok = (*p >= 'a' && *p <= 'z') || (*p >= '0' && *p <= '9') || *p == '.' || *p == '-' || *p == '_';
        if (!ok) {
            char c[8];
            bounded_format(reason, sizeof reason, "module name holds %s: only letters, digits, '.', '-' and '_' are carried",
                           shown_char(*p, c));
            return false;
        }
    }
    return true;
}

// A prefix every router can ask for, that stays below ROOT: "/", or "/"
// followed by segments of letters, digits, '.', '_' and '-' (never empty,
// "." or ".."), each ending in '/'.
bool check_prefix(const char* prefix, char (&reason)[256]) {
    std::size_t len = std::strlen(prefix);
    if (len == 0 || prefix[0] != '/' || prefix[len - 1] != '/') {
        bounded_format(reason, sizeof reason, "--prefix %s must begin and end with '/'", prefix);
        return false;
    }
    const char* segment = prefix + 1;
    for (const char* p = segment; p < prefix + len; ++p) {
        if (*p == '/') {
            std::string_view seg(segment, static_cast<std::size_t>(p - segment));
            if (seg.empty() || seg == "." || seg == "..") {
                bounded_format(reason, sizeof reason, "--prefix %s has an empty, '.' or '..' segment", prefix);
                return false;
            }
            segment = p + 1;
            continue;
        }
        bool ok = (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9') || *p == '.' ||
                  *p == '_' || *p == '-';
        if (!ok) {
            char c[8];
            bounded_format(reason, sizeof reason,
                           "--prefix %s holds %s: only letters, digits, '.', '_', '-' and '/' reach every router", prefix,
                           shown_char(*p, c));
            return false;
        }
    }
    return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }
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

// A private scratch file under /tmp (the narrowing renames its result onto
// the file it narrows, from /tmp).
bool make_scratch(char (&path)[64], unique_fd& fd) {
    bounded_copy(path, sizeof path, "/tmp/kestrel-publish.XXXXXX");
    fd.reset(::mkstemp(path));
    return fd.valid();
}

bool write_all(int fd, const void* data, std::size_t len) {
    auto p = static_cast<const unsigned char*>(data);
    while (len > 0) {
        ssize_t n = ::write(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

// Copies from to the open descriptor out; the number of bytes in size.
bool copy_into(const char* from, int out, unsigned long long& size) {
    unique_fd in(::open(from, O_RDONLY | O_CLOEXEC));
    if (!in.valid()) return false;
    size = 0;
    char buf[16384];
    for (;;) {
        ssize_t n = ::read(in.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        if (!write_all(out, buf, static_cast<std::size_t>(n))) return false;
        size += static_cast<unsigned long long>(n);
    }
}

// Reads a control file as the router does (narrowed, then parsed with its
// own parser).  False when it cannot be read at all.
bool read_control_file(const char* path, control_record& rec) {
    char scratch[64];
    unique_fd out;
    if (!make_scratch(scratch, out)) return false;
    unsigned long long ignored;
    bool ok = copy_into(path, out.get(), ignored) && ::close(out.release()) == 0 && kol_iconv(scratch) == 1;
    if (ok) read_control_record(scratch, rec);
    ::unlink(scratch);
    return ok;
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

// usign where it is installed, else Debian's signify-openbsd (same formats).
const char* signing_tool() {
    for (const char* tool : {"usign", "signify-openbsd"}) {
        char cmd[64];
        text_builder line(cmd);
        line.raw("command -v ").raw(tool).raw(" >/dev/null 2>&1");
        if (run_command(line).succeeded()) return tool;
    }
    return nullptr;
}

// The signing tool's complaint, if any, goes into why (one line).
bool sign(const char* tool, const char* seckey, const char* file, const char* sig, char (&why)[256]) {
    char errors[64];
    unique_fd scratch;
    if (!make_scratch(errors, scratch)) return false;
    char cmd[4 * path_max + 64];
    text_builder line(cmd);
    line.raw(tool).raw(" -S -s ").quoted(seckey).raw(" -m ").quoted(file).raw(" -x ").quoted(sig).raw(" 2>").quoted(errors);
    bool ok = run_command(line).succeeded();
    bounded_copy(why, sizeof why, cat_file(errors));
    ::unlink(errors);
    return ok;
}

// The directories a release had to make, so that a refusal can take them
// away again: each is dir cut at one of the offsets.
struct made_dirs {
    std::size_t ends[64];
    std::size_t count = 0;
};

// Creates every directory of dir below root (which must exist), 0755
// whatever the umask.
bool make_dirs(const char* dir, std::size_t root_len, made_dirs& made) {
    char path[path_max];
    if (!bounded_copy(path, sizeof path, dir)) return false;
    for (char* p = path + root_len + 1; *p; ++p) {
        if (*p != '/' || p[1] == '\0') continue;
        *p = '\0';
        bool made_now = ::mkdir(path, 0755) == 0;
        if (!made_now && errno != EEXIST) return false;
        if (made_now && made.count < 64) {
            ::chmod(path, 0755);
            made.ends[made.count++] = static_cast<std::size_t>(p - path);
        }
        *p = '/';
    }
    if (::mkdir(path, 0755) != 0) return errno == EEXIST;
    ::chmod(path, 0755);
    if (made.count < 64) made.ends[made.count++] = std::strlen(path);
    return true;
}

void remove_made_dirs(const char* dir, const made_dirs& made) {
    char path[path_max];
    for (std::size_t i = made.count; i-- > 0;) {
        bounded_copy(path, sizeof path, dir);
        path[made.ends[i]] = '\0';
        ::rmdir(path);
    }
}

// The control file's text in the chosen encoding, with its byte-order mark
// for UTF-16 (every character is ASCII).
bool write_control_file(int fd, const char* text, encoding enc) {
    if (enc == encoding::utf8) return write_all(fd, text, std::strlen(text));
    unsigned char wide[2048];
    std::size_t n = 0;
    wide[n++] = enc == encoding::utf16le ? 0xFF : 0xFE;
    wide[n++] = enc == encoding::utf16le ? 0xFE : 0xFF;
    for (const char* p = text; *p && n + 2 <= sizeof wide; ++p) {
        wide[n++] = enc == encoding::utf16le ? static_cast<unsigned char>(*p) : 0;
        wide[n++] = enc == encoding::utf16le ? 0 : static_cast<unsigned char>(*p);
    }
    return write_all(fd, wide, n);
}

void remove_temps(release_file* files, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        if (files[i].written) ::unlink(files[i].temp);
}

// What a refusal after the first change below ROOT must undo.
struct undo {
    release_file* files;
    const char* dir;
    made_dirs made;
    void operator()() {
        remove_temps(files, 4);
        remove_made_dirs(dir, made);
    }
};

// Writes a file of the release under its temporary name, 0644 whatever the
// umask, synced; false when it could not be written whole.
template <typename Fill>
bool write_temp(release_file& f, Fill fill) {
    ::unlink(f.temp);
    unique_fd out(::open(f.temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    f.written = out.valid();
    return out.valid() && ::fchmod(out.get(), 0644) == 0 && fill(out.get()) && ::fsync(out.get()) == 0 &&
           ::close(out.release()) == 0;
}

// A percentage from 0 to 100, as routers read it; -1 for anything else.
int percent_value(const char* text) {
    int value = 0;
    if (!*text || std::strlen(text) > 3) return -1;
    for (const char* p = text; *p; ++p) {
        if (!is_digit(*p)) return -1;
        value = value * 10 + (*p - '0');
    }
    return value <= 100 ? value : -1;
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

    std::printf("module:   %s\nversion:  %s\nmd5:      %s\nsize:     %s\n", module, o.version, digest, size_text);
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
        return change_rollout({o.root, o.module, o.prefix, o.seckey, percent, true});
    }
    return publish(o);
}

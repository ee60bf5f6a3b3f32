#include "publish/rollout_change.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

#include <kestrel/log.h>
#include "internal/shell_command.h"
#include "internal/text_builder.h"
#include "internal/unique_fd.h"
#include "publish/published_release.h"
#include "updater/updater.h"

namespace kestrel {

namespace {

constexpr const char control_name[] = "fileinfo.txt";
constexpr const char signature_name[] = "fileinfo.txt.sig";
// The router composes prefix, module and file name into 255 characters; the
// longest name it asks for is the control file's signature.
constexpr std::size_t router_path_max = 255;
constexpr const char longest_name[] = "/fileinfo.txt.sig";
constexpr std::size_t path_max = 4096;

enum class encoding { utf8, utf16le, utf16be };

// One file written: its final path, the temporary it is written to, and its
// name below ROOT for the summary.
struct release_file {
    char path[path_max];
    char temp[path_max];
    const char* shown;
    bool written = false;
};

int refuse(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
int refuse(const char* fmt, ...) {
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, line);
    return 1;
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

// Writes a file under its temporary name, 0644 whatever the umask, synced;
// false when it could not be written whole.
template <typename Fill>
bool write_temp(release_file& f, Fill fill) {
    ::unlink(f.temp);
    unique_fd out(::open(f.temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    f.written = out.valid();
    return out.valid() && ::fchmod(out.get(), 0644) == 0 && fill(out.get()) && ::fsync(out.get()) == 0 &&
           ::close(out.release()) == 0;
}

// The encoding a control file was published in, from its byte-order mark.
encoding encoding_of(const char* path) {
    unsigned char mark[2] = {};
    unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid() || ::read(fd.get(), mark, 2) != 2) return encoding::utf8;
    if (mark[0] == 0xFF && mark[1] == 0xFE) return encoding::utf16le;
    if (mark[0] == 0xFE && mark[1] == 0xFF) return encoding::utf16be;
    return encoding::utf8;
}

}  // namespace

int change_rollout(const rollout_change_request& req) {
    char reason[256];
    char module[16];
    if (!check_module(req.module, module, reason)) return refuse("%s", reason);
    if (!check_prefix(req.prefix, reason)) return refuse("%s", reason);
    if (std::strlen(req.prefix) + std::strlen(module) + std::strlen(longest_name) > router_path_max)
        return refuse("--prefix %s is too long: the router's server paths hold %zu characters", req.prefix,
                      router_path_max);
    if (req.percent < 0 || req.percent > 100)
        return refuse("--rollout %d is not a percentage from 0 to 100", req.percent);

    char dir[path_max];
    if (!bounded_format(dir, sizeof dir, "%s%s%s/", req.root, req.prefix, module)) return refuse("ROOT path too long");
    // The same lock as a publish: a new rollout never meets a release being
    // laid out.
    unique_fd root_fd(::open(req.root, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root_fd.valid()) return refuse("ROOT %s is not a directory", req.root);
    if (::flock(root_fd.get(), LOCK_EX) != 0) return refuse("cannot lock ROOT %s: %s", req.root, std::strerror(errno));

    char control_path[path_max];
    bounded_format(control_path, sizeof control_path, "%s%s", dir, control_name);
    control_record current{};
    char current_version[32] = {};
    if (::access(control_path, F_OK) == 0) {
        if (!read_published_control(control_path, current))
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

    // The control file, then its signature, in the order they are renamed.
    release_file files[2];
    const char* names[2] = {control_name, signature_name};
    std::size_t root_len = std::strlen(req.root);
    for (std::size_t i = 0; i < 2; ++i) {
        bounded_format(files[i].path, sizeof files[i].path, "%s%s", dir, names[i]);
        if (!bounded_format(files[i].temp, sizeof files[i].temp, "%s.%s.%ld", dir, names[i], static_cast<long>(::getpid())))
            return refuse("ROOT path too long");
        files[i].shown = files[i].path + root_len;
    }
    release_file& control = files[0];
    release_file& control_sig = files[1];
    if (!tool && ::access(control_sig.path, F_OK) == 0)
        return refuse("the release in %s%s is signed: --sign SECKEY signs it again", req.prefix, module);

    // The [Major1] values and the encoding as published; the [Release]
    // section last, as a publish writes it.
    char file_value[128];
    char digest[33];
    char size_text[24];
    bounded_copy(file_value, sizeof file_value, current.file);
    bounded_copy(digest, sizeof digest, current.md5);
    bounded_copy(size_text, sizeof size_text, current.size);
    encoding enc = encoding_of(control_path);
    char place[path_max];
    bounded_format(place, sizeof place, "%s%s/", req.prefix, module);
    char rollout_text[8];
    bounded_format(rollout_text, sizeof rollout_text, "%d", req.percent);
    char text[1024];
    bounded_format(text, sizeof text, "[Major1]\nfile=%s\nmd5=%s\nsize=%s\n[Release]\nmodule=%s\npath=%s\nrollout=%s\n",
                   file_value, digest, size_text, module, place, rollout_text);
    if (!write_temp(control, [&](int fd) { return write_control_file(fd, text, enc); })) {
        remove_temps(files, 2);
        return refuse("cannot write %s", control.temp);
    }

    // The router's own reading of what was written must give it back.
    {
        control_record rec;
        bool same = read_published_control(control.temp, rec) && !std::strcmp(rec.file, file_value) &&
                    !std::strcmp(rec.md5, digest) && !std::strcmp(rec.size, size_text) &&
                    !std::strcmp(rec.module, module) && !std::strcmp(rec.path, place) && rec.has_rollout &&
                    !std::strcmp(rec.rollout, rollout_text);
        if (!same) {
            remove_temps(files, 2);
            return refuse("the router would read the control file back differently (file [%s], md5 [%s], size [%s], "
                          "module [%s], path [%s])",
                          rec.file, rec.md5, rec.size, rec.module, rec.path);
        }
    }

    if (tool) {
        char why[256] = {};
        control_sig.written = true;
        if (!sign(tool, req.seckey, control.temp, control_sig.temp, why) || ::chmod(control_sig.temp, 0644) != 0) {
            remove_temps(files, 2);
            return refuse("%s could not sign with %s: %s", tool, req.seckey, why);
        }
    }

    for (release_file& f : files) {
        if (!f.written) continue;
        if (std::rename(f.temp, f.path) != 0) {
            int err = errno;
            remove_temps(&f, static_cast<std::size_t>(files + 2 - &f));
            return refuse("cannot rename %s to %s: %s", f.temp, f.path, std::strerror(err));
        }
        f.written = false;
    }
    // The renames reach the disk before the tool says the rollout changed.
    unique_fd dir_fd(::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir_fd.valid() || ::fsync(dir_fd.get()) != 0) return refuse("cannot sync %s", dir);

    if (!req.print_summary) return 0;
    std::printf("module:   %s\nversion:  %s\nmd5:      %s\nsize:     %s\n", module, current_version, digest,
                size_text);
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

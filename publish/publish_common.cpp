// SPDX-License-Identifier: ISC
#include "publish/publish_common.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include <kestrel/log.h>
#include <kestrel/narrow.h>
#include "internal/shell_command.h"
#include "internal/text_builder.h"
#include "release/signature_block.h"
#include "release/signify_text.h"

namespace kestrel {

int refuse(const char* fmt, ...) {
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    // The rollout change is kestrel-fleet's too.
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

bool is_digit(char c) { return c >= '0' && c <= '9'; }
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
// for UTF-16 (every character is ASCII there).
bool write_control_file(int fd, const char* text, std::size_t len, encoding enc) {
    if (enc == encoding::utf8) return write_all(fd, text, len);
    static unsigned char wide[2 * control_text_max + 2];
    std::size_t n = 0;
    wide[n++] = enc == encoding::utf16le ? 0xFF : 0xFE;
    wide[n++] = enc == encoding::utf16le ? 0xFE : 0xFF;
    for (std::size_t i = 0; i < len && n + 2 <= sizeof wide; ++i) {
        wide[n++] = enc == encoding::utf16le ? static_cast<unsigned char>(text[i]) : 0;
        wide[n++] = enc == encoding::utf16le ? 0 : static_cast<unsigned char>(text[i]);
    }
    return len <= control_text_max && write_all(fd, wide, n);
}

void remove_temps(release_file* files, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        if (files[i].written) ::unlink(files[i].temp);
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

// The encoding a control file was published in, from its byte-order mark.
encoding encoding_of(const char* path) {
    unsigned char mark[2] = {};
    unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid() || ::read(fd.get(), mark, 2) != 2) return encoding::utf8;
    if (mark[0] == 0xFF && mark[1] == 0xFE) return encoding::utf16le;
    if (mark[0] == 0xFE && mark[1] == 0xFF) return encoding::utf16be;
    return encoding::utf8;
}

void undo::operator()() {
    remove_temps(files, count);
    remove_made_dirs(dir, made);
}

}  // namespace kestrel

namespace kestrel {

const char* encoding_name(encoding enc) {
    return enc == encoding::utf8 ? "utf-8" : enc == encoding::utf16le ? "utf-16le" : "utf-16be";
}

namespace {

// path narrowed as a router narrows it, whole into buf.
bool narrowed_text(const char* path, char* buf, std::size_t size, std::size_t& len) {
    char scratch[64];
    unique_fd out;
    if (!make_scratch(scratch, out)) return false;
    unsigned long long ignored;
    bool ok = copy_into(path, out.get(), ignored) && ::close(out.release()) == 0 && kol_iconv(scratch) == 1;
    if (ok) {
        unique_fd in(::open(scratch, O_RDONLY | O_CLOEXEC));
        len = 0;
        ssize_t n = 0;
        while (in.valid() && len < size && (n = ::read(in.get(), buf + len, size - len)) > 0)
            len += static_cast<std::size_t>(n);
        ok = in.valid() && n >= 0 && len < size;
    }
    ::unlink(scratch);
    return ok;
}

bool write_scratch(char (&path)[64], const char* data, std::size_t len) {
    unique_fd fd;
    return make_scratch(path, fd) && write_all(fd.get(), data, len) && ::close(fd.release()) == 0;
}

}  // namespace

bool read_published(const char* path, published_release& p) {
    p.exists = ::access(path, F_OK) == 0;
    p.rec = control_record{};
    p.signed_length = 0;
    p.is_signed = false;
    p.enc = encoding_of(path);
    if (!p.exists) return true;
    std::size_t len = 0;
    if (!narrowed_text(path, p.text, sizeof p.text, len)) return false;
    signature_block block;
    p.is_signed = read_signature_block(p.text, len, block) != signatures_read::none;
    p.signed_length = block.signed_length;
    char scratch[64];
    if (!write_scratch(scratch, p.text, p.signed_length)) return false;
    read_control_record(scratch, p.rec);
    ::unlink(scratch);
    return true;
}

bool write_control(release_file& control, const char* text, std::size_t len, encoding enc, const signer& s,
                   char (&why)[256]) {
    for (std::size_t i = 0; i < len; ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c == 0 || (c > 0x7e && enc != encoding::utf8)) {
            bounded_format(why, sizeof why, "the control file holds a byte its encoding cannot carry");
            return false;
        }
    }
    static char full[control_text_max];
    static char back[control_text_max];
    std::size_t full_len = len;
    if (len > sizeof full) {
        bounded_format(why, sizeof why, "the control file is over %zu bytes", sizeof full);
        return false;
    }
    std::memcpy(full, text, len);
    // The text a router parses, narrowed as it narrows it: that is what is signed.
    std::size_t back_len = 0;
    if (!write_temp(control, [&](int fd) { return write_control_file(fd, full, full_len, enc); }) ||
        !narrowed_text(control.temp, back, sizeof back, back_len) || back_len != len ||
        std::memcmp(back, text, len) != 0) {
        bounded_format(why, sizeof why, "the router would read the control file back differently");
        return false;
    }
    if (s.count == 0) return true;

    char message[64];
    if (!write_scratch(message, back, back_len)) {
        bounded_format(why, sizeof why, "cannot write a scratch file in /tmp");
        return false;
    }
    constexpr char section[] = "[Signatures]\n";
    std::memcpy(full + full_len, section, sizeof section - 1);
    full_len += sizeof section - 1;
    bool ok = true;
    for (std::size_t k = 0; k < s.count && ok; ++k) {
        char sig[64];
        unique_fd sig_fd;
        ok = make_scratch(sig, sig_fd);
        if (!ok) break;
        sig_fd.reset();
        char err[256] = {};
        ok = sign(s.tool, s.keys[k], message, sig, err);
        char one[1024];
        std::size_t one_len = 0;
        if (ok) {
            unique_fd in(::open(sig, O_RDONLY | O_CLOEXEC));
            ssize_t n = in.valid() ? ::read(in.get(), one, sizeof one) : -1;
            one_len = n > 0 ? static_cast<std::size_t>(n) : 0;
            ok = signature_text_ok(one, one_len) && full_len + one_len <= sizeof full;
            if (!ok) bounded_format(err, sizeof err, "no signature as usign writes one");
        }
        ::unlink(sig);
        if (ok) {
            std::memcpy(full + full_len, one, one_len);
            full_len += one_len;
        } else {
            bounded_format(why, sizeof why, "%s could not sign with %s: %s", s.tool, s.keys[k], err);
        }
    }
    ::unlink(message);
    if (!ok) return false;

    // Read back as a router reads it: the same signed text, every signature.
    signature_block block;
    if (!write_temp(control, [&](int fd) { return write_control_file(fd, full, full_len, enc); }) ||
        !narrowed_text(control.temp, back, sizeof back, back_len) ||
        read_signature_block(back, back_len, block) != signatures_read::ok || block.signed_length != len ||
        block.count != s.count || std::memcmp(back, text, len) != 0) {
        bounded_format(why, sizeof why, "the router would read the signed control file back differently");
        return false;
    }
    return true;
}

void print_expiry(unsigned long long expires) {
    char when[32] = "never";
    std::time_t t = static_cast<std::time_t>(expires);
    std::tm tm{};
    if (expires && ::gmtime_r(&t, &tm)) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &tm);
    std::printf("expires:  %s\n", when);
}

void print_signers(const signer& s) {
    if (!s.count) {
        std::printf("signed:   no\n");
        return;
    }
    std::printf("signed:   yes (%s)\n", s.tool);
    for (std::size_t k = 0; k < s.count; ++k) std::printf("key:      %s\n", s.keys[k]);
}

int push_files(const char* root, const char* command, const char* const* shown, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        static char cmd[2 * path_max + 8192];
        text_builder line(cmd);
        line.raw("cd ").quoted(root).raw(" && ");
        for (const char* p = command; *p;) {
            const char* mark = std::strstr(p, "{}");
            std::size_t n = mark ? static_cast<std::size_t>(mark - p) : std::strlen(p);
            line.raw(std::string_view(p, n));
            if (!mark) break;
            line.quoted(shown[i] + 1);  // relative to ROOT
            p = mark + 2;
        }
        command_result r = run_command(line);
        if (r.succeeded()) {
            std::printf("pushed:   %s\n", shown[i]);
            std::fflush(stdout);
            continue;
        }
        char done[2048] = {};
        char left[2048] = {};
        for (std::size_t k = 0; k < count; ++k) {
            char* list = k < i ? done : left;
            std::size_t used = std::strlen(list);
            bounded_format(list + used, sizeof done - used, "%s%s", used ? " " : "", shown[k] + 1);
        }
        return refuse("--push failed (status %d) for %s; pushed: %s; not pushed: %s", r.ran ? r.status : -1,
                      shown[i] + 1, done[0] ? done : "nothing", left);
    }
    return 0;
}

int check_place(const char* module_arg, const char* prefix, char (&module)[16]) {
    char reason[256];
    if (!check_module(module_arg, module, reason) || !check_prefix(prefix, reason)) return refuse("%s", reason);
    if (std::strlen(prefix) + std::strlen(module) + std::strlen(longest_name) > router_path_max)
        return refuse("--prefix %s is too long: the router's server paths hold %zu characters", prefix,
                      router_path_max);
    return 0;
}

int lock_published(const char* root, const char* prefix, const char* module, char (&dir)[path_max],
                   unique_fd& root_fd, published_release& current) {
    if (!bounded_format(dir, sizeof dir, "%s%s%s/", root, prefix, module)) return refuse("ROOT path too long");
    root_fd.reset(::open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root_fd.valid()) return refuse("ROOT %s is not a directory", root);
    if (::flock(root_fd.get(), LOCK_EX) != 0) return refuse("cannot lock ROOT %s: %s", root, std::strerror(errno));
    char control_path[path_max];
    bounded_format(control_path, sizeof control_path, "%s%s", dir, control_file_name);
    if (!read_published(control_path, current))
        return refuse("cannot read the control file published in %s%s", prefix, module);
    return 0;
}

}  // namespace kestrel

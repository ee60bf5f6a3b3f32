#include "updater/signature.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "build_config.h"
#include <kestrel/log.h>
#include "internal/kol_log.h"
#include "internal/shell_command.h"
#include "internal/text_builder.h"
#include "internal/unique_fd.h"
#include "updater/run_dir.h"
#include "updater/updater.h"

namespace kestrel {

namespace {

constexpr std::string_view comment_prefix = "untrusted comment: ";
// "Ed", an 8-byte key number and the 64-byte signature: 74 bytes, 100
// characters of base64 ending in one '='.
constexpr std::size_t signature_b64_len = 100;
// Far more than a signature file with the longest comment usign writes.
constexpr std::size_t signature_file_max = 2048;
// "Ed", an 8-byte key number and the 32-byte public key: 42 bytes, 56
// characters of base64 without padding.
constexpr std::size_t public_key_b64_len = 56;
constexpr std::size_t key_file_max = 1024;

bool is_base64(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

// The format usign and signify write keys and signatures in: the comment
// line, then one line of b64_len base64 characters of an "Ed" record,
// ending in padding '=' characters, then nothing.
bool signify_text_ok(const char* text, std::size_t len, std::size_t b64_len, std::size_t padding) {
    if (len < comment_prefix.size() || std::memcmp(text, comment_prefix.data(), comment_prefix.size()) != 0)
        return false;
    const char* eol = static_cast<const char*>(std::memchr(text, '\n', len));
    if (!eol || std::memchr(text, '\0', static_cast<std::size_t>(eol - text))) return false;
    const char* b64 = eol + 1;
    if (static_cast<std::size_t>(text + len - b64) != b64_len + 1 || b64[b64_len] != '\n') return false;
    if (b64[0] != 'R' || b64[1] != 'W') return false;  // "Ed", the only algorithm
    for (std::size_t i = 0; i < b64_len; ++i)
        if (!(i < b64_len - padding ? is_base64(b64[i]) : b64[i] == '=')) return false;
    return true;
}

// usign's exit status 127 is the shell's "not found", 126 "not executable".
bool tool_missing(int status) { return status == 127 || status == 126; }

// Reads a small file whole; false when it is larger than size - 1 bytes or
// cannot be read.
bool read_small_file(const char* path, char* buf, std::size_t size, std::size_t& len) {
    unique_fd fd(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) return false;
    len = 0;
    for (;;) {
        ssize_t n = ::read(fd.get(), buf + len, size - len);
        if (n < 0) return false;
        if (n == 0) return true;
        len += static_cast<std::size_t>(n);
        if (len == size) return false;
    }
}

}  // namespace

signing_key signing_key_state() {
    struct stat st;
    if (::lstat(build_config::signing_key, &st) != 0 && errno == ENOENT) return signing_key::none;
    // Anything else at the path means the router is meant to check: an
    // unusable key refuses every update rather than letting any through.
    char text[key_file_max];
    std::size_t len = 0;
    const char* why = nullptr;
    if (::stat(build_config::signing_key, &st) != 0)
        why = errno == ENOENT ? "a link to nothing" : "cannot be reached";
    else if (!S_ISREG(st.st_mode) || !read_small_file(build_config::signing_key, text, sizeof text, len))
        why = "cannot be read";
    else if (len == 0)
        why = "empty";
    else if (!public_key_text_ok(text, len))
        why = "not a public key";
    if (!why) return signing_key::usable;
    KOL_LOG("signing key %s is %s: update refused", build_config::signing_key, why);
    return signing_key::unusable;
}

bool public_key_text_ok(const char* text, std::size_t len) {
    return signify_text_ok(text, len, public_key_b64_len, 0);
}

bool published_copy_path(const char* path, char* out, std::size_t size) {
    return bounded_format(out, size, "%s.published", path);
}

void keep_published_copy(const char* path) {
    char copy[128];
    if (!published_copy_path(path, copy, sizeof copy)) return;
    ::unlink(copy);
    // ENOENT: the attempt fetched nothing, so there is nothing to keep.
    if (::link(path, copy) != 0 && errno != ENOENT) KOL_LOG("cannot keep %s as published", path);
}

// Pointer arithmetic rather than string_view::substr, whose range check
// would pull libstdc++'s exception support into the daemon.
bool is_signature_path(const char* path) {
    std::size_t n = std::strlen(path);
    return n > 4 && std::memcmp(path + n - 4, ".sig", 4) == 0;
}

bool signature_text_ok(const char* text, std::size_t len) {
    return signify_text_ok(text, len, signature_b64_len, 1);
}

bool signature_file_ok(const char* path) {
    char buf[signature_file_max + 1];
    std::size_t len = 0;
    return read_small_file(path, buf, sizeof buf, len) && signature_text_ok(buf, len);
}

bool signature_verified(const char* host, const char* server_path, const char* file, const char* sig_path) {
    char sig_url[256];
    if (!bounded_format(sig_url, sizeof sig_url, "%s.sig", server_path)) {
        KOL_LOG("signature path too long for %s: update refused", server_path);
        return false;
    }
    if (ra_transfer_file(host, sig_url, sig_path, signature_cap) != 1) {
        KOL_LOG("no signature for %s on the server: update refused", server_path);
        return false;
    }

    char errors[128];
    if (!beside(sig_path, "usign_error", errors, sizeof errors)) return false;
    char cmd[512];
    text_builder line(cmd);
    line.raw("usign -V -q -p ")
        .quoted(build_config::signing_key)
        .raw(" -x ")
        .quoted(sig_path)
        .raw(" -m ")
        .quoted(file)
        .raw(" 2>")
        .quoted(errors);
    command_result r = run_command(line);
    char reason[128];
    bounded_copy(reason, sizeof reason, cat_file(errors));
    ::unlink(errors);

    if (r.succeeded()) {
        KOL_LOG("signature of %s verified", server_path);
        return true;
    }
    if (r.ran && tool_missing(r.status))
        KOL_LOG("usign not found, cannot verify %s: update refused", server_path);
    else
        KOL_LOG("bad signature for %s: update refused (%s)", server_path, reason);
    return false;
}

bool release_bound_here(const control_record& rec, const char* module, const char* file_path) {
    char own_path[256 + 16 + 1];
    bounded_format(own_path, sizeof own_path, "%s%s/", file_path, module);
    if (!rec.has_release || rec.release_cut) {
        KOL_LOG("control file names no release place: update refused");
        return false;
    }
    if (std::strcmp(rec.module, module) != 0 || std::strcmp(rec.path, own_path) != 0) {
        KOL_LOG("release published for module %s at %s, not %s at %s: update refused", rec.module, rec.path,
                module, own_path);
        return false;
    }
    return true;
}

}  // namespace kestrel

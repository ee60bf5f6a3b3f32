#include "updater/signature.h"

#include <fcntl.h>
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
#include "updater/updater.h"

namespace kestrel {

namespace {

constexpr std::string_view comment_prefix = "untrusted comment: ";
// "Ed", an 8-byte key number and the 64-byte signature: 74 bytes, 100
// characters of base64 ending in one '='.
constexpr std::size_t signature_b64_len = 100;
// Far more than a signature file with the longest comment usign writes.
constexpr std::size_t signature_file_max = 2048;

bool is_base64(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

// usign's exit status 127 is the shell's "not found", 126 "not executable".
bool tool_missing(int status) { return status == 127 || status == 126; }

bool fetch_and_verify(const char* host, const char* server_path, const char* file, const char* sig_path) {
    if (!signing_key_installed()) return true;

    char sig_url[256];
    if (!bounded_format(sig_url, sizeof sig_url, "%s.sig", server_path)) {
        KOL_LOG("signature path too long for %s: update refused", server_path);
        return false;
    }
    // No signature left from an earlier attempt or run ever counts.
    ::unlink(sig_path);
    if (ra_transfer_file(host, sig_url, sig_path) != 1) {
        KOL_LOG("no signature for %s on the server: update refused", server_path);
        return false;
    }

    char cmd[512];
    text_builder line(cmd);
    line.raw("usign -V -q -p ")
        .quoted(build_config::signing_key)
        .raw(" -x ")
        .quoted(sig_path)
        .raw(" -m ")
        .quoted(file)
        .raw(" 2>")
        .raw(usign_error_path);
    command_result r = run_command(line);
    char reason[128];
    bounded_copy(reason, sizeof reason, cat_file(usign_error_path));
    ::unlink(usign_error_path);

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

}  // namespace

bool signing_key_installed() { return ::access(build_config::signing_key, F_OK) == 0; }

void keep_published_control_file(const char* path) {
    if (!signing_key_installed()) return;
    ::unlink(control_published_path);
    // ENOENT: the attempt fetched nothing, so there is nothing to keep.
    if (::link(path, control_published_path) != 0 && errno != ENOENT) KOL_LOG("cannot keep %s as published", path);
}

// Pointer arithmetic rather than string_view::substr, whose range check
// would pull libstdc++'s exception support into the daemon.
bool is_signature_path(const char* path) {
    std::size_t n = std::strlen(path);
    return n > 4 && std::memcmp(path + n - 4, ".sig", 4) == 0;
}

bool signature_text_ok(const char* text, std::size_t len) {
    if (len < comment_prefix.size() || std::memcmp(text, comment_prefix.data(), comment_prefix.size()) != 0)
        return false;
    const char* eol = static_cast<const char*>(std::memchr(text, '\n', len));
    if (!eol || std::memchr(text, '\0', static_cast<std::size_t>(eol - text))) return false;
    const char* sig = eol + 1;
    // One line and nothing after it.
    if (static_cast<std::size_t>(text + len - sig) != signature_b64_len + 1 || sig[signature_b64_len] != '\n')
        return false;
    if (sig[0] != 'R' || sig[1] != 'W') return false;  // "Ed", the only algorithm
    for (std::size_t i = 0; i + 1 < signature_b64_len; ++i)
        if (!is_base64(sig[i])) return false;
    return sig[signature_b64_len - 1] == '=';
}

bool signature_file_ok(const char* path) {
    unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return false;
    char buf[signature_file_max + 1];
    std::size_t len = 0;
    for (;;) {
        ssize_t n = ::read(fd.get(), buf + len, sizeof buf - len);
        if (n < 0) return false;
        if (n == 0) break;
        len += static_cast<std::size_t>(n);
        if (len == sizeof buf) return false;  // too long to be a signature
    }
    return signature_text_ok(buf, len);
}

bool control_file_signed(const char* host, const char* server_path) {
    return fetch_and_verify(host, server_path, control_published_path, control_signature_path);
}

bool payload_signed(const char* host, const char* server_path) {
    return fetch_and_verify(host, server_path, payload_staging_path, payload_signature_path);
}

void remove_signature_files() {
    ::unlink(control_published_path);
    ::unlink(control_signature_path);
    ::unlink(payload_signature_path);
    ::unlink(usign_error_path);
}

}  // namespace kestrel

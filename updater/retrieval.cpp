// SPDX-License-Identifier: ISC
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "build_config.h"
#include "ftp/fetch.h"
#include "unicode/narrow_utf16.h"
#include "internal/kol_log.h"
#include "internal/shell_command.h"
#include "internal/text_builder.h"
#include "internal/unique_fd.h"
#include "resolv/name_servers.h"
#include "updater/run_dir.h"
#include "updater/updater.h"
#include "updater/user_agent.h"

namespace kestrel {

namespace {

constexpr unsigned retry_pause_seconds = 60;

bool is_control_file(const char* path) { return std::strstr(path, "fileinfo.txt") != nullptr; }

// A signed control file is verified as the router reads it: narrowed.
int narrow_control_file(const char* path) { return iconv(path); }

// curl stopped by its file size limit (the shell may run it as a child or
// become it); where SIGXFSZ is ignored, its write fails and the file is left
// one byte over the cap.
bool stopped_at_cap(const command_result& r) {
    return r.signal == SIGXFSZ || r.status == shell_status_of_signal(SIGXFSZ);
}

bool larger_than(const char* file, long long cap) {
    struct stat st;
    return ::stat(file, &st) == 0 && st.st_size > cap;
}

void report(const char* url, bool ok) {
    std::fprintf(stderr, ok ? "Download file %s successfully!\n" : "Download file %s failed!\n", url);
}

}  // namespace

bool compose_url(char (&url)[512], const char* scheme, const char* host, const char* default_host,
                 const char* file_path) {
    if (!host[0]) host = default_host;
    in6_addr addr;
    unsigned scope;
    const bool bracket = host[0] != '[' && ipv6_literal(host, &addr, &scope);
    bool ok = bounded_format(url, sizeof url, bracket ? "%s://[%s]%s" : "%s://%s%s", scheme, host, file_path);
    if (!ok) KOL_LOG("URL too long: %s", url);
    return ok;
}

int http_transfer(const char* path, const char* file, long long cap) {
    char cmd[1024];
    char errors[128];
    if (!beside(file, "curl_error", errors, sizeof errors)) return 0;
    text_builder line(cmd);
    line.raw(curl_command)
        .quoted(run_user_agent())
        .raw(" ")
        .quoted(path)
        .raw(" -o ")
        .quoted(file)
        .raw(" --stderr ")
        .quoted(errors)
        .raw(" --retry 2");
    // Start without the old file, so that a failed fetch cannot pass for a fresh one.
    ::unlink(file);
    // Whatever the server announces, no file of curl's grows past the cap
    // and one byte, which tells an oversized file from one of the cap's size.
    command_result r = run_command(line, cap + 1);
    if (stopped_at_cap(r) || larger_than(file, cap)) {
        KOL_LOG("%s is larger than its cap of %lld bytes, not taken", path, cap);
        ::unlink(file);
        return 0;
    }
    // An abandoned transfer (a full /tmp, a cut connection) may still leave a
    // file that passes the checks below.
    if (!r.succeeded()) {
        if (r.ran) KOL_LOG("curl exited with status %d for %s", r.status, path);
        return 0;
    }

    if (is_control_file(file) && narrow_control_file(file) == 0) return 0;

    unique_file in(std::fopen(file, "r"));
    if (!in) return 0;
    char buffer[256] = {};
    if (!std::fgets(buffer, sizeof buffer, in.get())) buffer[0] = '\0';
    if (std::strncmp(buffer, "File not found", 14) == 0) return 0;
    if (std::strstr(buffer, "Bad Request")) return 0;
    if (is_control_file(file) && !std::strstr(buffer, "Major")) return 0;
    if (buffer[0] == '\0') return 0;
    return 1;
}

int ra_transfer_file(const char* host, const char* file_path, const char* local_location, long long cap,
                     bool* over_ftp) {
    char server_url[512] = {};
    bool url_ok = compose_url(server_url, "https", host, build_config::https_host, file_path);

    for (int attempt = 1; attempt <= 2; ++attempt) {
        if (url_ok && http_transfer(server_url, local_location, cap) == 1) {
            report(server_url, true);
            return 1;
        }
        report(server_url, false);
        if (attempt == 1) ::sleep(retry_pause_seconds);
    }

    url_ok = compose_url(server_url, "ftp", host, build_config::ftp_host, file_path);
    for (int attempt = 1; attempt <= 2; ++attempt) {
        // Each attempt starts without the old file, as over HTTPS.
        ::unlink(local_location);
        if (url_ok && ftp_transfer(server_url, local_location, nullptr, cap) == 1) {
            report(server_url, true);
            if (over_ftp) *over_ftp = true;
            if (is_control_file(local_location) && narrow_control_file(local_location) == 0) {
                std::fputs("iconv error\n", stderr);
                return 0;
            }
            return 1;
        }
        report(server_url, false);
        if (attempt == 1) ::sleep(retry_pause_seconds);
    }
    return 0;
}

}  // namespace kestrel

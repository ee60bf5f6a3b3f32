// SPDX-License-Identifier: ISC
#include "updater/user_agent.h"

#include <cstring>

#include "build_config.h"
#include <kestrel/config.h>
#include <kestrel/log.h>
#include "internal/fixed_path.h"
#include "internal/shell_command.h"
#include "internal/text_builder.h"
#include "updater/router_state.h"
#include "updater/rollout.h"
#include "updater/updater.h"

namespace kestrel {

namespace {

// The run's User-Agent, made once before its first request: the only state
// kept (the router's build has a byte budget).
user_agent_text run_text;

// A value as sent: '-' for none and for each character that could end the
// field or the log's quoted string.
void sent_value(const char* value, char (&out)[32]) {
    std::size_t n = 0;
    for (const char* p = value; *p && n + 1 < sizeof out; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        out[n++] = c > ' ' && c < 0x7f && !std::strchr(";()\"\\", c) ? static_cast<char>(c) : '-';
    }
    if (n == 0) out[n++] = '-';
    out[n] = '\0';
}

// A version file of the router's state: its first line, else none.
void state_line(const char* path, char (&out)[32]) {
    char line[64];
    if (read_state(path, line, sizeof line) <= 0) line[0] = '\0';
    bounded_copy(out, sizeof out, line);
}

}  // namespace

void format_user_agent(const user_agent_values& v, user_agent_text& out) {
    char f[6][32];
    const char* values[6] = {v.module, v.id, v.installed, v.result, v.published, v.refused};
    for (int i = 0; i < 6; ++i) sent_value(values[i], f[i]);
    bounded_format(out, sizeof out, "kestreld/%s (%s; id=%s; installed=%s; result=%s; published=%s; refused=%s)",
                   build_config::version, f[0], f[1], f[2], f[3], f[4], f[5]);
    // Without the report, the product alone: its version holds no blank.
    if (!v.report) *std::strchr(out, ' ') = '\0';
}

void json_member_text(const char* line, const char* name, char* out, std::size_t size) {
    out[0] = '\0';
    char key[32];
    if (!bounded_format(key, sizeof key, "\"%s\":\"", name)) return;
    // A key cannot begin inside a string: quotes there are escaped.
    const char* p = std::strstr(line, key);
    if (!p) return;
    p += std::strlen(key);
    std::size_t n = 0;
    while (p[n] && p[n] != '"') n += p[n] == '\\' && p[n + 1] ? 2 : 1;
    bounded_copy(out, size, std::string_view(p, n));
}

bool read_module_name(char (&name)[16]) {
    bool whole = bounded_copy(name, sizeof name, cat_file("/module_name"));
    for (char* p = name; *p; ++p)
        if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p + 0x20);
    return whole;
}

void read_user_agent_values(user_agent_values& v, const char* digest_path) {
    v.report = !config_match("dbg_report", "0");
    read_module_name(v.module);
    // The serial number as the rollout bucket reads it; an empty first line
    // is none.
    char serial[512];
    char digest[64];
    v.id[0] = '\0';
    if (read_owned_line(serial_number_path, serial, sizeof serial) > 0 && serial[0] && md5_hex(serial, digest_path, digest))
        bounded_copy(v.id, sizeof v.id, digest);
    state_line(recorded_version_path, v.installed);
    state_line(refused_path, v.refused);
    // One line: cJSON escapes every line ending inside a string.
    char status[1280];
    if (read_state(status_path, status, sizeof status) <= 0) status[0] = '\0';
    json_member_text(status, "result", v.result, sizeof v.result);
    json_member_text(status, "published", v.published, sizeof v.published);
}

void user_agent_start(const char* digest_path) {
    user_agent_values v;
    read_user_agent_values(v, digest_path);
    format_user_agent(v, run_text);
}

const char* run_user_agent() { return run_text; }

void report_outcome(const char* host, const char* file_path, const run_status* st, const char* digest_path) {
    // Not for a quiet router (or a run that made no User-Agent).
    if (!st || !std::strchr(run_text, '(') || std::strcmp(st->transport, "https") != 0) return;
    if (st->result != run_result::installed && st->result != run_result::rolled_back &&
        st->result != run_result::refused)
        return;
    user_agent_values v;
    read_user_agent_values(v, digest_path);
    format_user_agent(v, run_text);
    char path[256];
    char url[512];
    if (!bounded_format(path, sizeof path, "%s%s/fileinfo.txt", file_path, v.module) ||
        !compose_url(url, "https", host, build_config::https_host, path))
        return;
    // No retries and 20 s in all: the outcome is written already, the
    // report only tells it.  Whatever curl says is dropped.
    char cmd[1024];
    text_builder line(cmd);
    line.raw(curl_command).quoted(run_text).raw(" -m 20 -I ").quoted(url).raw(" -o /dev/null --stderr /dev/null");
    run_command(line);
}

}  // namespace kestrel

#include "updater/user_agent.h"

#include <unistd.h>

#include <cctype>
#include <cstring>

#include "build_config.h"
#include <kestrel/config.h>
#include <kestrel/log.h>
#include "internal/fixed_path.h"
#include "internal/kol_log.h"
#include "internal/shell_command.h"
#include "internal/text_builder.h"
#include "updater/install.h"
#include "updater/rollout.h"
#include "updater/updater.h"

namespace kestrel {

namespace {

// Filled by user_agent_start in the process that makes the requests.
user_agent_values run_values;
user_agent_text run_text;
bool started = false;

// Appends value as the server's log can carry it: a field of its own that
// no reader can take for another.
void append_value(text_builder& out, const char* value) {
    if (!value[0]) {
        out.raw("-");
        return;
    }
    for (const char* p = value; *p; ++p) {
        char c = *p;
        bool plain = c > ' ' && c < 0x7f && !std::strchr(";()\"\\", c);
        out.raw(std::string_view(plain ? p : "-", 1));
    }
}

// The first 12 hex digits of MD5(serial), as md5sum prints it; "" without a
// serial number (an empty first line is none) or a digest.
void serial_id(char (&id)[13], const char* digest_path) {
    id[0] = '\0';
    char serial[512];
    int r = read_owned_line(serial_number_path, serial, sizeof serial);
    if (r <= 0 || serial[0] == '\0') return;
    char cmd[sizeof serial + 160];
    text_builder line(cmd);
    line.raw("printf '%s' ").quoted(serial).raw(" | md5sum > ").quoted(digest_path);
    char digest[64] = {};
    if (run_command(line).succeeded()) read_owned_line(digest_path, digest, sizeof digest);
    ::unlink(digest_path);
    for (int i = 0; i < 12; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(digest[i]))) return;
    bounded_copy(id, sizeof id, std::string_view(digest, 12));
}

// Version files: the first line when it is this user's file, else none.
void owned_line(const char* path, char* out, std::size_t size) {
    char line[64];
    if (read_owned_line(path, line, sizeof line) <= 0) line[0] = '\0';
    bounded_copy(out, size, line);
}

// What the router holds now: the recorded and refused versions, and the
// result and published version of the status file the last run wrote.
void read_outcome(user_agent_values& v) {
    owned_line(recorded_version_path, v.installed, sizeof v.installed);
    owned_line(refused_path, v.refused, sizeof v.refused);
    // One line: cJSON escapes every line ending inside a string.
    char status[1280];
    if (read_owned_line(status_path, status, sizeof status) <= 0) status[0] = '\0';
    json_member_text(status, "result", v.result, sizeof v.result);
    json_member_text(status, "published", v.published, sizeof v.published);
}

}  // namespace

void format_user_agent(const user_agent_values& v, user_agent_text& out) {
    text_builder t(out);
    t.raw("kestreld/").raw(build_config::version);
    if (!v.report) return;
    const struct {
        const char* name;
        const char* value;
    } fields[] = {{" (", v.module},          {"; id=", v.id},          {"; installed=", v.installed},
                  {"; result=", v.result},  {"; published=", v.published}, {"; refused=", v.refused}};
    for (const auto& f : fields) {
        t.raw(f.name);
        append_value(t, f.value);
    }
    t.raw(")");
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

void user_agent_start(const char* digest_path) {
    user_agent_values& v = run_values;
    v.report = !config_match("dbg_report", "0");
    if (v.report) {
        bounded_copy(v.module, sizeof v.module, cat_file("/module_name"));
        for (char* p = v.module; *p; ++p) *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
        serial_id(v.id, digest_path);
        read_outcome(v);
    }
    format_user_agent(v, run_text);
    started = true;
}

const char* run_user_agent() {
    // Programs that make no run still say what they are.
    if (!run_text[0]) format_user_agent(user_agent_values{.report = false}, run_text);
    return run_text;
}

void report_outcome(const char* host, const char* file_path, const char* module, const run_status* st) {
    if (!st || !started || !run_values.report || std::strcmp(st->transport, "https") != 0) return;
    if (st->result != run_result::installed && st->result != run_result::rolled_back &&
        st->result != run_result::refused)
        return;
    read_outcome(run_values);
    format_user_agent(run_values, run_text);
    char path[256];
    char url[512];
    if (!bounded_format(path, sizeof path, "%s%s/fileinfo.txt", file_path, module) ||
        !compose_url(url, "https", host, build_config::https_host, path))
        return;
    // No retries and 20 s in all: the outcome is written already, the
    // report only tells it.  Whatever curl says is dropped.
    char cmd[1024];
    text_builder line(cmd);
    line.raw("curl ").raw(curl_options).raw(" -A ").quoted(run_text).raw(" -m 20 -I ").quoted(url)
        .raw(" -o /dev/null --stderr /dev/null");
    run_command(line);
}

}  // namespace kestrel

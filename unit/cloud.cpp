// SPDX-License-Identifier: ISC
#include <kestrel/location.h>

#include "unit/cloud.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "build_config.h"
#include "internal/kol_log.h"
#include "internal/shell_command.h"
#include "internal/text_builder.h"
#include "internal/unique_fd.h"

using namespace kestrel;

namespace {
constexpr char kq_file[] = "/tmp/ra_kq_info";
constexpr char time_file[] = "/tmp/mBrisk_time";
constexpr std::size_t identity_size = 64;
constexpr std::size_t command_size = 512;

struct agent_identity {
    char id[identity_size];
    char claim_code[identity_size];
    const char* host;
};

agent_identity read_identity() {
    agent_identity who{};
    // Copied at once: the next kq call reuses cat_file's buffer.
    bounded_copy(who.id, sizeof who.id, get_value_from_kq("ozmardcfg[0].o_zmard_id"));
    who.host = location_host(who.id);
    bounded_copy(who.claim_code, sizeof who.claim_code,
                 get_value_from_kq("ozmardcfg[0].o_zmard_claim_code"));
    return who;
}

// "curl -k -X METHOD https://HOST/PATH -H ... -H 'Authorization:ID:CODE'"
void request_start(text_builder& cmd, const char* method, const agent_identity& who,
                   const char* path) {
    char auth[2 * identity_size + 16];
    text_builder header(auth);
    header.raw("Authorization:").raw(who.id).raw(":").raw(who.claim_code);
    cmd.printf("curl -k -X %s https://%s/%s -H \"content-type: application/json\" -H ", method,
               who.host, path);
    cmd.quoted(auth);
    if (!header.ok()) cmd.truncated = true;
}

// Text as the inside of a JSON string: quote, backslash and control
// characters escaped, so outside values cannot reshape the body.
void json_string_text(text_builder& out, std::string_view s) {
    for (char c : s) {
        if (c == '"' || c == '\\') {
            char esc[2] = {'\\', c};
            out.raw(std::string_view(esc, 2));
        } else if (static_cast<unsigned char>(c) < 0x20) {
            out.printf("\\u%04x", static_cast<unsigned>(c));
        } else {
            out.raw(std::string_view(&c, 1));
        }
    }
}


// atol of a reply value as a signed 32-bit number; false when it holds no
// number at all (an empty member must not pass for the time 0) or one that
// does not fit (held at the limit, it would set the clock to 2038).
bool reply_number(const char* text, long& value) {
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text, &end, 10);
    if (end == text || errno == ERANGE || v > INT32_MAX || v < INT32_MIN) return false;
    value = static_cast<long>(v);
    return true;
}
}  // namespace

const char* kestrel::location_host(const char* agent_id) {
    if (std::strncmp(agent_id, "DEV-", 4) == 0) return build_config::location_host_dev;
    if (std::strncmp(agent_id, "QA-", 3) == 0) return build_config::location_host_qa;
    return build_config::location_host_prod;
}

char* get_value_from_kq(const char* string) {
    if (!string) return cat_file(nullptr);
    char cmd[128];
    text_builder line(cmd, sizeof cmd - 1);
    line.raw("kq -s ").quoted(string).raw(" > ").raw(kq_file);
    // A value left by an earlier call must not pass for this key's.
    std::remove(kq_file);
    run_command(line);
    return cat_file(kq_file);
}

void get_wanip_info() {
    agent_identity who = read_identity();
    char cmd[command_size];
    text_builder line(cmd, sizeof cmd - 1);
    request_start(line, "GET", who, "device-location/resolve");
    line.raw(" -o /tmp/mBrisk_MAXmind --connect-timeout 3 &");
    run_command(line);
}

void get_current_time() {
    agent_identity who = read_identity();
    char serial[32];
    char model[8];
    bounded_copy(serial, sizeof serial, cat_file("/tmp/Seria_Number"));
    bounded_copy(model, sizeof model, cat_file("/module_name"));
    // A reply of an earlier call must never be taken for this one.
    std::remove(time_file);

    char body[320];
    text_builder json(body);
    json.raw("{\"hardwareId\":\"");
    json_string_text(json, serial);
    json.raw("\",\"model\":\"");
    json_string_text(json, model);
    json.raw("\"}");

    char cmd[command_size];
    text_builder line(cmd, sizeof cmd - 1);
    request_start(line, "POST", who, "device-location/syncTime");
    // JSON escaping first, then the shell quoting of the whole body.
    line.raw(" -d ").quoted(body).raw(" -o ").raw(time_file).raw(" --connect-timeout 3 &");
    if (!json.ok()) line.truncated = true;
    run_command(line);
}

void kestrel::time_reply_line(char* line, time_reply& reply) {
    char* save = nullptr;
    if (std::strstr(line, "timestamp")) {
        strtok_r(line, ": ", &save);  // the member name
        const char* value = strtok_r(nullptr, ",", &save);
        if (value && reply_number(value, reply.timestamp)) reply.have_timestamp = true;
    } else if (std::strstr(line, "zoneOffset")) {
        strtok_r(line, ": ", &save);
        const char* value = strtok_r(nullptr, "\n", &save);
        if (value && reply_number(value, reply.offset)) reply.have_offset = true;
    }
}

void set_current_time() {
    get_current_time();
    sleep(3);

    time_reply reply;
    {
        unique_file in(std::fopen(time_file, "r"));
        if (!in) return;
        char line[256];
        while (std::fgets(line, sizeof line - 1, in.get())) time_reply_line(line, reply);
    }
    if (!reply.have_timestamp || !reply.have_offset) return;

    long long sum = static_cast<long long>(reply.timestamp) + reply.offset;
    auto when = static_cast<std::time_t>(sum);
    if (static_cast<long long>(when) != sum) return;  // beyond a 32-bit time_t
    const std::tm* cal = std::localtime(&when);
    if (!cal) return;
    char clock_text[24];
    if (!bounded_format(clock_text, sizeof clock_text, "%d-%02d-%02d %02d:%02d:%02d",
                        cal->tm_year + 1900, cal->tm_mon + 1, cal->tm_mday, cal->tm_hour,
                        cal->tm_min, cal->tm_sec))
        return;

    char cmd[256];
    text_builder line(cmd, sizeof cmd - 1);
    line.printf("date -s \"%s\"", clock_text);
    if (!run_command(line).ran) return;
    std::printf("ORU-IOT: Set the local time as %s according to ozmard server current time!!!\n",
                clock_text);
    std::fflush(stdout);
}

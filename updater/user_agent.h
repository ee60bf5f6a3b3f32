// SPDX-License-Identifier: ISC
// What a router tells the update server of itself: the User-Agent of every
// HTTPS request, and one HEAD request of the control file when a run ends
// with an outcome the operator acts on.  The server's access log is then
// the fleet's dashboard (kestrel-fleet reads it).
#pragma once

#include <cstddef>

#include "updater/run_status.h"

namespace kestrel {

// The values a User-Agent carries; "" where there is none (sent as "-").
struct user_agent_values {
    bool report = true;  // the key dbg_report is not "0"
    char module[16] = {};
    char id[13] = {};  // the first 12 hex digits of MD5(serial number)
    char installed[32] = {};
    char result[16] = {};
    char published[32] = {};
    char refused[32] = {};
};

using user_agent_text = char[256];

// "kestreld/VERSION (MODULE; id=ID; installed=INST; result=RES;
// published=PUB; refused=REF)", or plain "kestreld/VERSION" without report.
// Each character of a value that is not printable ASCII, or is a blank,
// ';', '(', ')', '"' or '\', is sent as '-'.
void format_user_agent(const user_agent_values& v, user_agent_text& out);

// The text of the string member name of a one-line JSON object as
// run_status_write prints it (escapes kept as they are); "" when the member
// is missing, null or not a string.
void json_member_text(const char* line, const char* name, char* out, std::size_t size);

// The module as the server's paths name it: /module_name's first line in
// lower case; false when it did not fit (name then holds a cut prefix).
bool read_module_name(char (&name)[16]);

// Gathers the values as they stand now: the module (/module_name), the
// serial number's digest (md5sum's output goes to digest_path), dbg_report,
// the recorded and refused versions and the status file's result and
// published version.
void read_user_agent_values(user_agent_values& v, const char* digest_path);

// Makes the run's User-Agent, before its first request.
void user_agent_start(const char* digest_path);

// The run's User-Agent; "" (curl then sends none) before user_agent_start.
const char* run_user_agent();

// At the end of a run whose status is written: a run that installed, rolled
// back or refused after a control file over HTTPS sends one HEAD request for
// that control file, with the outcome in its User-Agent.  Nothing is kept.
void report_outcome(const char* host, const char* file_path, const run_status* st, const char* digest_path);

}  // namespace kestrel

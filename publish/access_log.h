// SPDX-License-Identifier: ISC
// Reading web server access logs in the combined format (the default of
// nginx and Apache):
//   HOST IDENT USER [DD/Mon/YYYY:HH:MM:SS +HHMM] "REQUEST" STATUS BYTES "REFERER" "USER-AGENT"
// and the fields kestreld puts in its User-Agent.  Both read outside data:
// any bytes give an answer, and nothing is read outside the text given.
#pragma once

#include <string_view>

namespace kestrel {

// The parts of a line kestrel-fleet uses; views into the line.
struct access_line {
    long long time;  // seconds since 1970-01-01 UTC, the offset applied
    std::string_view user_agent;  // as logged, escapes left as they are
};

// False when line (without its line ending) is not in the combined format
// or its time cannot be read.
bool read_access_line(std::string_view line, access_line& out);

// "kestreld/VERSION (MODULE; id=ID; installed=INST; result=RES;
// published=PUB; refused=REF)": the values, "-" for none.
struct agent_fields {
    std::string_view module, id, installed, result, published, refused;
};

// False unless user_agent is kestreld's with all its fields: each value one
// or more characters that the router does not replace, the id "-" or 12
// lower-case hex digits.
bool read_agent_fields(std::string_view user_agent, agent_fields& out);

}  // namespace kestrel

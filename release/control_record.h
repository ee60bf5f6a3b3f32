// SPDX-License-Identifier: ISC
// The control file as a router reads it: the "[Major1]" section today's
// routers read, and the "[Release]" section after it.
#pragma once

#include <cstddef>

namespace kestrel {

using ctl_value = char[128];
using version_text = char[32];  // at most 31 characters

// Each [Release] number is whole and at most 19 digits.
struct release_number {
    bool present;
    unsigned long long value;
};

struct control_record {
    ctl_value file;
    ctl_value md5;
    ctl_value size;
    bool has_release;
    bool release_cut;  // a [Release] value did not fit or was malformed (and was left empty)
    char module[16];
    char path[256];
    bool has_rollout;  // a rollout= line, even one whose value did not fit
    char rollout[8];
    char sha256[65];   // 64 lower-case hex digits, or empty
    char payload[32];  // the payload's digest name
    release_number seq;
    release_number issued;
    release_number expires;
};

void read_control_record(const char* path, control_record& rec, const char* tag = "Major1");
// False when the value did not fit and was cut.
bool extract_value(const char* line, ctl_value& val);

// The len characters at text as a number of 1 to 19 decimal digits (no sign,
// no blank); false for anything else.  The release numbers and their floors
// read the same way.
bool decimal_value(const char* text, std::size_t len, unsigned long long& value);

}  // namespace kestrel

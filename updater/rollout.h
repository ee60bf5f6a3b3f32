// SPDX-License-Identifier: ISC
// Staged rollouts: a release reaches the routers whose bucket lies below its
// rollout percentage.  The bucket is one an operator can compute too: the
// first four bytes of MD5("SERIAL/VERSION") as a big-endian unsigned number,
// modulo 100; a router without a serial number has bucket 99.  Each version
// draws a different first group, so no router is always first.
#pragma once

#include "updater/updater.h"

namespace kestrel {

inline constexpr const char serial_number_path[] = "/tmp/Seria_Number";

// The release's percentage: 100 when it names none; 0 (logged) when it is
// not a whole number from 0 to 100, so that a typo halts a rollout rather
// than floods it.
int rollout_percent(const control_record& rec);

// The MD5 of text as 32 lower-case hex digits, through md5sum (its output
// goes to digest_path); false and "" when md5sum gave none.
bool md5_hex(const char* text, const char* digest_path, char (&digest)[64]);

// This router's bucket for version; md5sum's output goes to digest_path.
int rollout_bucket(const char* version, const char* digest_path);

}  // namespace kestrel

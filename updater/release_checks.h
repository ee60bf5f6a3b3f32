// SPDX-License-Identifier: ISC
// The checks a signed router makes of a verified control file's [Release]
// values.  The floors they compare with are the router state's.
#pragma once

#include <ctime>

#include "release/control_record.h"
#include "updater/signature.h"

namespace kestrel {

// seq, issued, sha256 and payload are there, and payload is the digest name
// of sha256; else why.
bool release_fields_usable(const control_record& rec, refusal_text& why);

enum class freshness {
    fresh,
    expired,
    unchecked,  // the clock is not known good: expiry not checked
};

// With a synchronized clock not earlier than highest_issued, a release past
// its expires has expired.
freshness release_freshness(const control_record& rec, unsigned long long highest_issued, std::time_t now,
                            bool clock_synced);
// "YYYY-MM-DD HH:MM:SS UTC" of Unix seconds.
void utc_text(unsigned long long seconds, char (&text)[32]);

}  // namespace kestrel

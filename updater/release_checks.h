// The checks a signed router makes of a verified control file's [Release]
// values, each a refusal with its own logged reason.  The floors they
// compare with are kept by the caller.
#pragma once

#include <ctime>

#include "release/control_record.h"

namespace kestrel {

// seq, issued, sha256 and payload are there, and payload is the digest name
// of sha256.
bool release_fields_usable(const control_record& rec);

// seq is not below the highest this router verified (an equal one is the
// same release fetched again).
bool seq_not_replayed(const control_record& rec, unsigned long long seq_floor);

enum class freshness {
    fresh,
    expired,
    unchecked,  // the clock is not known good: expiry not checked
};

// With a synchronized clock not earlier than the highest issued verified, a
// release past its expires is refused.
freshness release_freshness(const control_record& rec, unsigned long long issued_floor, std::time_t now,
                            bool clock_synced);

}  // namespace kestrel

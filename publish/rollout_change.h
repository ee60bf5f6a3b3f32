// SPDX-License-Identifier: ISC
// kestrel-publish --update-rollout and --refresh, and kestrel-fleet halt: the
// published release of a module reaches another share of the fleet, or is
// signed afresh; every line but rollout, seq, issued and expires stays as it
// was, and the payload is left alone.
#pragma once

#include <cstddef>

namespace kestrel {

struct rollout_change_request {
    const char* root;
    const char* module;
    const char* prefix;
    const char* seckey[8];  // the keys that sign, in order; none: the release is unsigned
    int percent;            // 0 to 100; < 0: as published (a refresh)
    unsigned expires_days;  // 0: no expiry
    const char* push;       // null: nothing pushed
    bool print_summary;     // what was written, on standard output
    // Non-null: changed only while this version is the one published (read
    // under the lock), so that a halt never lands on a newer release.
    const char* expected_version;
};

// Exit status of the tool: 0 done, 1 refused (one line on stderr).
int change_rollout(const rollout_change_request& req);

}  // namespace kestrel

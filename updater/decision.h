// SPDX-License-Identifier: ISC
// Whether this router takes the published release: one answer from the
// control file as read and what the router holds, with the run's result
// and the sentence that says why.
#pragma once

#include "updater/router_state.h"
#include "updater/run_status.h"
#include "updater/updater.h"

namespace kestrel {

struct decision {
    bool take;
    bool seq_verified;      // (signed) seq not below the floor: the floors may rise
    bool expiry_unchecked;  // (signed) the clock could not judge the expiry
    run_result result;      // the run's end when not taken
    version_text version;   // the published version; "" when none is named
    char reason[192];
};

// In order: a version named, (signed) seq not below the highest verified,
// newer than the recorded one, (signed) the rollback floor usable and not
// above it, (signed) not expired by a known-good clock, not refused by the
// service, the rollout reaching this router (bucket_digest: where md5sum's output may go).
// The reason is logged too.
decision decide(const control_record& rec, const router_view& view, const char* bucket_digest);

}  // namespace kestrel

// SPDX-License-Identifier: ISC
#include "updater/decision.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "internal/kol_log.h"
#include "internal/text_builder.h"
#include "updater/release_checks.h"
#include "updater/rollout.h"

namespace kestrel {

namespace {

decision& end(decision& d, run_result result, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
decision& end(decision& d, run_result result, const char* fmt, ...) {
    d.result = result;
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(d.reason, sizeof d.reason, fmt, ap);
    va_end(ap);
    KOL_LOG("%s", d.reason);
    return d;
}

}  // namespace

decision decide(const control_record& rec, const router_view& view, const char* bucket_digest) {
    decision d{};
    if (compare_published(rec, view.recorded, d.version) < 0)
        return end(d, run_result::refused, "the control file names no version");
    const char* v = d.version;
    // A replayed older control file (a halt's predecessor) is refused; the
    // same one fetched again is not.
    if (view.signed_run && !view.releases.usable)
        return end(d, run_result::refused, "rollback floor unusable: %s: update refused", view.releases.problem);
    if (view.signed_run && rec.seq.value < view.releases.seq)
        return end(d, run_result::refused, "seq %llu is lower than %llu, verified here before: update refused",
                   rec.seq.value, view.releases.seq);
    d.seq_verified = view.signed_run;
    if (cmp_version(view.recorded, v) != 1)
        return end(d, run_result::current, "version %s is the newest published", view.recorded);
    if (view.signed_run && !view.floor.usable)
        return end(d, run_result::refused, "rollback floor unusable: %s: update refused", view.floor.problem);
    if (view.signed_run && cmp_version(v, view.floor.highest) == 1)
        return end(d, run_result::refused, "version %s is older than %s, installed here before: update refused", v,
                   view.floor.highest);
    if (view.signed_run) {
        // This control file's issued counts too: a clock behind it is wrong.
        unsigned long long issued = rec.issued.value > view.releases.issued ? rec.issued.value : view.releases.issued;
        freshness f = release_freshness(rec, issued, static_cast<std::time_t>(view.now), view.clock_synced);
        if (f == freshness::expired) {
            char when[32];
            utc_text(rec.expires.value, when);
            return end(d, run_result::refused, "release expired at %s: update refused", when);
        }
        d.expiry_unchecked = f == freshness::unchecked;
    }
    if (view.refused[0] && std::strcmp(view.refused, v) == 0)
        return end(d, run_result::refused, "version %s was refused by the service, waiting for a newer one", v);
    int percent = rollout_percent(rec);
    if (percent < 100) {
        int bucket = rollout_bucket(v, bucket_digest);
        if (bucket >= percent)
            return end(d, run_result::waiting, "version %s is rolling out to %d%%, this router's bucket is %d", v,
                       percent, bucket);
    }
    d.take = true;
    bounded_format(d.reason, sizeof d.reason, "version %s is newer than the recorded one", v);
    return d;
}

}  // namespace kestrel

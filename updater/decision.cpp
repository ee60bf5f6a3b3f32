#include "updater/decision.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "internal/kol_log.h"
#include "internal/text_builder.h"
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
    if (cmp_version(view.recorded, v) != 1)
        return end(d, run_result::current, "version %s is the newest published", view.recorded);
    if (view.signed_run && !view.floor.usable)
        return end(d, run_result::refused, "rollback floor unusable: %s: update refused", view.floor.problem);
    if (view.signed_run && cmp_version(v, view.floor.highest) == 1)
        return end(d, run_result::refused, "version %s is older than %s, installed here before: update refused", v,
                   view.floor.highest);
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

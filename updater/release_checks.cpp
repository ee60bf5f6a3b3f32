// SPDX-License-Identifier: ISC
#include "updater/release_checks.h"

#include <cstdio>
#include <cstring>

#include "internal/kol_log.h"
#include "release/release_names.h"

namespace kestrel {

bool release_fields_usable(const control_record& rec, refusal_text& why) {
    digest_name expected = {};
    if (!rec.seq.present || !rec.issued.present || !rec.sha256[0] || !rec.payload[0])
        std::snprintf(why, sizeof why, "control file lacks seq, issued, sha256 or payload: update refused");
    else if (!payload_digest_name(rec.sha256, expected) || std::strcmp(expected, rec.payload) != 0)
        std::snprintf(why, sizeof why, "payload name %s is not %s: update refused", rec.payload, expected);
    else
        return true;
    KOL_LOG("%s", why);
    return false;
}

freshness release_freshness(const control_record& rec, unsigned long long highest_issued, std::time_t now,
                            bool clock_synced) {
    if (!rec.expires.present) return freshness::fresh;
    if (now < 0 || !clock_synced || static_cast<unsigned long long>(now) < highest_issued) return freshness::unchecked;
    return static_cast<unsigned long long>(now) <= rec.expires.value ? freshness::fresh : freshness::expired;
}

void utc_text(unsigned long long seconds, char (&text)[32]) {
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (!::gmtime_r(&t, &tm) || !std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm))
        std::snprintf(text, sizeof text, "%llu", seconds);
}

}  // namespace kestrel

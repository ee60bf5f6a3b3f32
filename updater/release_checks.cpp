#include "updater/release_checks.h"

#include <cstring>

#include "internal/kol_log.h"
#include "release/release_names.h"

namespace kestrel {

bool release_fields_usable(const control_record& rec) {
    if (!rec.seq.present || !rec.issued.present || !rec.sha256[0] || !rec.payload[0]) {
        KOL_LOG("control file lacks seq, issued, sha256 or payload: update refused");
        return false;
    }
    digest_name expected = {};
    if (!payload_digest_name(rec.sha256, expected) || std::strcmp(expected, rec.payload) != 0) {
        KOL_LOG("payload name %s is not %s: update refused", rec.payload, expected);
        return false;
    }
    return true;
}

bool seq_not_replayed(const control_record& rec, unsigned long long seq_floor) {
    if (rec.seq.value >= seq_floor) return true;
    KOL_LOG("seq %llu is lower than %llu, verified here before: update refused", rec.seq.value, seq_floor);
    return false;
}

freshness release_freshness(const control_record& rec, unsigned long long issued_floor, std::time_t now,
                            bool clock_synced) {
    if (!rec.expires.present) return freshness::fresh;
    if (now < 0 || !clock_synced || static_cast<unsigned long long>(now) < issued_floor) {
        KOL_LOG("clock not synchronized, expiry not checked");
        return freshness::unchecked;
    }
    if (static_cast<unsigned long long>(now) <= rec.expires.value) return freshness::fresh;
    char when[32] = "?";
    std::time_t t = static_cast<std::time_t>(rec.expires.value);
    std::tm tm{};
    if (::gmtime_r(&t, &tm)) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &tm);
    KOL_LOG("release expired at %s: update refused", when);
    return freshness::expired;
}

}  // namespace kestrel

// SPDX-License-Identifier: ISC
#include "updater/rollout.h"

#include <unistd.h>

#include <cstring>

#include "internal/fixed_path.h"
#include "internal/kol_log.h"
#include "internal/shell_command.h"
#include "internal/text_builder.h"

namespace kestrel {

namespace {
constexpr int no_serial_bucket = 99;
}

int rollout_percent(const control_record& rec) {
    if (!rec.has_rollout) return 100;
    const char* p = rec.rollout;
    int value = 0;
    bool digits = *p != '\0';
    for (; *p && digits; ++p) {
        digits = *p >= '0' && *p <= '9' && value <= 100;
        value = value * 10 + (*p - '0');
    }
    if (digits && value <= 100) return value;
    KOL_LOG("rollout value [%s] is not a percentage from 0 to 100, taken as 0", rec.rollout);
    return 0;
}

bool md5_hex(const char* text, const char* digest_path, char (&digest)[64]) {
    char cmd[1024];
    text_builder line(cmd);
    line.raw("printf '%s' ").quoted(text).raw(" | md5sum > ").quoted(digest_path);
    digest[0] = '\0';
    if (run_command(line).succeeded()) read_owned_line(digest_path, digest, sizeof digest);
    ::unlink(digest_path);
    // md5sum's line: 32 lower-case hex digits, then its file name.
    int n = 0;
    while ((digest[n] >= '0' && digest[n] <= '9') || (digest[n] >= 'a' && digest[n] <= 'f')) ++n;
    digest[n == 32 ? 32 : 0] = '\0';
    return n == 32;
}

int rollout_bucket(const char* version, const char* digest_path) {
    // Only root's file counts: another user could otherwise move this router
    // into the first group of every release.
    char serial[512];
    int r = read_owned_line(serial_number_path, serial, sizeof serial);
    if (r < 0) KOL_LOG("%s is not ours, taken as none", serial_number_path);
    if (r <= 0 || serial[0] == '\0') return no_serial_bucket;

    char key[sizeof serial + 40];
    bounded_format(key, sizeof key, "%s/%s", serial, version);
    char digest[64] = {};
    md5_hex(key, digest_path, digest);
    // The first 8 hex digits, big-endian, modulo 100, digit by digit:
    // (a * 16 + d) mod 100 needs a[mod 100] only, and no division routine.
    int bucket = 0;
    for (int i = 0; i < 8; ++i) {
        char c = digest[i];
        int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (v < 0) {
            KOL_LOG("md5sum gave no digest for the rollout bucket, taken as %d", no_serial_bucket);
            return no_serial_bucket;
        }
        bucket = bucket * 16 + v;
        while (bucket >= 100) bucket -= 100;
    }
    return bucket;
}

}  // namespace kestrel

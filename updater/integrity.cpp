// SPDX-License-Identifier: ISC
#include <unistd.h>

#include <cstring>

#include "internal/kol_log.h"
#include "internal/shell_command.h"
#include "internal/text_builder.h"
#include "release/file_digest.h"
#include "release/release_names.h"
#include "updater/updater.h"

namespace kestrel {

namespace {
constexpr std::size_t digest_len = 32;

void first_32(char (&dst)[digest_len + 1], const char* src) { bounded_copy(dst, sizeof dst, src); }
}  // namespace

int check_md5(const char* fileName, const char* md5file) {
    char controlMd5[digest_len + 1];
    char fileMd5[digest_len + 1];
    char digest_path[128];

    first_32(controlMd5, cat_file(md5file));

    // Beside the file, in the run's private directory: no one else can
    // write the digest we read.  No digest (file missing, md5sum silent)
    // never verifies, even against an empty record.
    if (!bounded_format(digest_path, sizeof digest_path, "%s.md5", fileName) ||
        !file_digest("md5sum", fileName, digest_path, fileMd5, digest_len))
        return 0;

    for (char* p = fileMd5; *p; ++p)
        if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 0x20);
    return std::strcmp(controlMd5, fileMd5) == 0 ? 1 : 0;
}

bool check_sha256(const char* file, const char* sha256) {
    char digest_path[128];
    char digest[sha256_digits + 1];
    if (!bounded_format(digest_path, sizeof digest_path, "%s.sha256", file)) return false;
    if (!file_digest("sha256sum", file, digest_path, digest, sha256_digits)) {
        KOL_LOG("sha256sum gave no digest for %s", file);
        return false;
    }
    if (std::strcmp(digest, sha256) == 0) return true;
    KOL_LOG("sha256 check failed, keeping the installed file");
    return false;
}

}  // namespace kestrel

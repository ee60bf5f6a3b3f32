#include "updater/rollback_guard.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "build_config.h"
#include "internal/fixed_path.h"
#include "internal/kol_log.h"
#include "internal/text_builder.h"
#include "updater/updater.h"

namespace kestrel {

namespace {

constexpr const char state_name[] = "highest_version";

bool state_path(char (&path)[256]) {
    return bounded_format(path, sizeof path, "%s/%s", build_config::state_dir, state_name);
}

// The directory is only trusted when it is this user's alone.
bool state_dir_ours(bool make) {
    struct stat st;
    if (::lstat(build_config::state_dir, &st) != 0) {
        if (errno != ENOENT || !make) return false;
        return ::mkdir(build_config::state_dir, 0755) == 0;
    }
    return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// The version kept; "" when none (or none to trust, logged).
void highest_installed(version_text& version) {
    version[0] = '\0';
    char path[256];
    char line[64];
    if (!state_path(path) || !state_dir_ours(false)) return;
    int r = read_owned_line(path, line, sizeof line);
    if (r < 0 || (r > 0 && !bounded_copy(version, sizeof version, line))) {
        KOL_LOG("%s is not ours or not a version, ignored", path);
        version[0] = '\0';
    }
}

}  // namespace

bool not_older_than_installed(const char* version) {
    version_text highest;
    highest_installed(highest);
    if (cmp_version(version, highest) != 1) return true;
    KOL_LOG("version %s is older than %s, installed here before: update refused", version, highest);
    return false;
}

void raise_highest_installed(const char* version) {
    version_text highest;
    highest_installed(highest);
    if (cmp_version(highest, version) != 1) return;
    char path[256];
    if (!state_path(path) || !state_dir_ours(true) || !replace_file(path, version, std::strlen(version), true))
        KOL_LOG("cannot keep version %s in %s", version, build_config::state_dir);
}

}  // namespace kestrel

#include "updater/release_floor.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "build_config.h"
#include "internal/fixed_path.h"
#include "internal/kol_log.h"
#include "internal/text_builder.h"

namespace kestrel {

namespace {

constexpr const char seq_name[] = "highest_seq";
constexpr const char issued_name[] = "highest_issued";

// The directory is only trusted when it is this user's alone.
bool state_dir_ours(bool make) {
    struct stat st;
    if (::lstat(build_config::state_dir, &st) != 0) {
        if (errno != ENOENT) return false;
        return !make || ::mkdir(build_config::state_dir, 0755) == 0;
    }
    return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// One floor: 0 when none was kept yet.
bool read_floor(const char* name, unsigned long long& value) {
    value = 0;
    char path[256];
    char line[32];
    bounded_format(path, sizeof path, "%s/%s", build_config::state_dir, name);
    const char* cause = nullptr;
    int r = state_dir_ours(false) ? read_owned_line(path, line, sizeof line) : -1;
    if (r < 0)
        cause = "is not this user's";
    else if (r > 0 && (!line[0] || std::strlen(line) > 19 || std::strspn(line, "0123456789") != std::strlen(line)))
        cause = "is not a number";
    if (cause) {
        KOL_LOG("release floor unusable: %s %s: update refused", path, cause);
        return false;
    }
    for (const char* p = line; r > 0 && *p; ++p) value = value * 10 + static_cast<unsigned>(*p - '0');
    return true;
}

bool keep_floor(const char* name, unsigned long long value) {
    char path[256];
    char text[24];
    bounded_format(path, sizeof path, "%s/%s", build_config::state_dir, name);
    int len = std::snprintf(text, sizeof text, "%llu", value);
    if (state_dir_ours(true) && replace_file(path, text, static_cast<std::size_t>(len), true)) return true;
    KOL_LOG("release floor unusable: %s cannot be kept: update refused", path);
    return false;
}

}  // namespace

bool read_release_floors(release_floors& floors) {
    return read_floor(seq_name, floors.seq) && read_floor(issued_name, floors.issued);
}

bool raise_release_floors(const release_floors& floors, const control_record& rec) {
    return (rec.seq.value <= floors.seq || keep_floor(seq_name, rec.seq.value)) &&
           (rec.issued.value <= floors.issued || keep_floor(issued_name, rec.issued.value));
}

}  // namespace kestrel

// SPDX-License-Identifier: ISC
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "internal/fixed_path.h"
#include "internal/kol_log.h"
#include "internal/text_builder.h"
#include "internal/unique_fd.h"
#include "updater/router_state.h"
#include "updater/updater.h"

namespace kestrel {

void parse_fileinfo(const char* path, const char* tag, ctl_value& file, ctl_value& md5, ctl_value& size) {
    control_record rec;
    read_control_record(path, rec, tag);
    bounded_copy(file, sizeof file, rec.file);
    bounded_copy(md5, sizeof md5, rec.md5);
    bounded_copy(size, sizeof size, rec.size);
}

int compare_published(const control_record& rec, const char* recorded, version_text& version) {
    version[0] = '\0';
    if (!published_version(rec.file, version)) {
        KOL_LOG("status ctlfile fail!");
        return -1;
    }
    const char* slash = std::strrchr(rec.file, '/');
    const char* file_name = slash ? slash + 1 : rec.file;

    KOL_LOG("\n---------------------------------------------\n      firmware:\n      ver =%s\n      file=%s\n"
            "      md5 =%s\n      size=%s\n---------------------------------------------\n",
            version, file_name, rec.md5, rec.size);

    if (cmp_version(recorded, version)) {
        KOL_LOG("Get new version");
        return 1;
    }
    KOL_LOG("We have had the newest version");
    return 0;
}

int parse_ctl(const control_record& rec, const char* md5_record, version_text& newer) {
    newer[0] = '\0';
    version_text recorded, published;
    recorded_version(recorded);
    int r = compare_published(rec, recorded, published);
    if (r == 1) {
        autoup_set(md5_record, rec.md5);
        bounded_copy(newer, sizeof newer, published);
    }
    return r;
}

int published_version(const char* file_value, version_text& version) {
    const char* slash = std::strrchr(file_value, '/');
    char file[256];
    bounded_copy(file, sizeof file, slash ? slash + 1 : file_value);
    char* save = nullptr;
    char* ver = strtok_r(file, "V", &save);
    char* img = ver ? strtok_r(nullptr, " ", &save) : nullptr;
    // A version that does not fit is refused rather than cut: a cut version
    // would be recorded and compared wrongly.
    return ver && img && bounded_copy(version, sizeof version, img) ? 1 : 0;
}

bool record_version(const char* version) {
    // Written beside the record and renamed onto it: a run killed at any
    // moment leaves the old record or the new one, never a part of either.
    return write_state(recorded_version_path, version);
}

}  // namespace kestrel

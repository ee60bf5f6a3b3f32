#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "internal/fixed_path.h"
#include "internal/kol_log.h"
#include "internal/text_builder.h"
#include "internal/unique_fd.h"
#include "updater/updater.h"

namespace kestrel {

void parse_fileinfo(const char* path, const char* tag, ctl_value& file, ctl_value& md5, ctl_value& size) {
    control_record rec;
    read_control_record(path, rec, tag);
    bounded_copy(file, sizeof file, rec.file);
    bounded_copy(md5, sizeof md5, rec.md5);
    bounded_copy(size, sizeof size, rec.size);
}

bool record_dir_ready() {
    // Made by another user, or a link: moved aside and made afresh, so that
    // no one else can write the record or a name in its directory.
    for (int round = 0; round < 2; ++round) {
        fixed_claim claim = claim_fixed_path(record_dir_path, fixed_kind::directory);
        if (claim.state == fixed_claim::ours) return true;
        if (claim.state == fixed_claim::replaced)
            KOL_LOG("%s was not ours (owner %u), moved aside", record_dir_path, static_cast<unsigned>(claim.owner));
        if (claim.state != fixed_claim::stuck && ::mkdir(record_dir_path, 0755) == 0) return true;
    }
    KOL_LOG("cannot make %s", record_dir_path);
    return false;
}

int new_version(const char* newVer) {
    version_text curVer;
    // Never cut and compared: a record that does not fit counts as none, so
    // the published version is installed and recorded afresh.
    char line[512];
    if (read_owned_line(recorded_version_path, line, sizeof line) < 0) {
        KOL_LOG("%s is not ours, taken as none", recorded_version_path);
        line[0] = '\0';
    }
    if (!bounded_copy(curVer, sizeof curVer, line)) {
        KOL_LOG("recorded version over %zu characters, taken as none", sizeof curVer - 1);
        curVer[0] = '\0';
    }
    return cmp_version(curVer, newVer);
}

int parse_ctl(const control_record& rec, const char* md5_record, version_text& newer) {
    newer[0] = '\0';
    version_text newVer;
    if (!published_version(rec.file, newVer)) {
        KOL_LOG("status ctlfile fail!");
        return -1;
    }
    const char* slash = std::strrchr(rec.file, '/');
    const char* file_name = slash ? slash + 1 : rec.file;

    KOL_LOG("\n---------------------------------------------\n      firmware:\n      ver =%s\n      file=%s\n"
            "      md5 =%s\n      size=%s\n---------------------------------------------\n",
            newVer, file_name, rec.md5, rec.size);

    if (new_version(newVer)) {
        KOL_LOG("Get new version");
        autoup_set(md5_record, rec.md5);
        bounded_copy(newer, sizeof newer, newVer);
        return 1;
    }
    KOL_LOG("We have had the newest version");
    return 0;
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
    if (replace_file(recorded_version_path, version, std::strlen(version))) return true;
    KOL_LOG("cannot record version %s", version);
    return false;
}

}  // namespace kestrel

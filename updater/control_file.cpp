#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "internal/kol_log.h"
#include "internal/text_builder.h"
#include "internal/unique_fd.h"
#include "updater/updater.h"

namespace kestrel {

bool extract_value(const char* line, ctl_value& val) {
    const char* eq = std::strchr(line, '=');
    if (!eq) return true;
    const char* p = eq + 1;
    while (*p == ' ' || *p == '\t') ++p;
    return bounded_copy(val, sizeof val, std::string_view(p, std::strcspn(p, "\r\n")));
}

void parse_fileinfo(const char* path, const char* tag, ctl_value& file, ctl_value& md5, ctl_value& size) {
    size[0] = md5[0] = file[0] = '\0';
    unique_file in(std::fopen(path, "r"));
    if (!in) return;
    char line[512];
    bool in_section = false;
    while (std::fgets(line, sizeof line, in.get())) {
        if (!in_section) {
            in_section = std::strstr(line, tag) != nullptr;
            continue;
        }
        if (std::strchr(line, '[')) return;
        if (std::strstr(line, "file")) {
            // A cut name would publish a wrong version, and record it: refused.
            if (!extract_value(line, file)) {
                KOL_LOG("file value over %zu characters", sizeof file - 1);
                file[0] = '\0';
            }
        } else if (std::strstr(line, "md5")) {
            // Cut values are harmless here: only 32 md5 digits are compared
            // and the size is only logged.
            extract_value(line, md5);
        } else if (std::strstr(line, "size")) {
            extract_value(line, size);
        }
    }
}

int new_version(const char* newVer) {
    version_text curVer;
    // Never cut and compared: a record that does not fit counts as none, so
    // the published version is installed and recorded afresh.
    if (!bounded_copy(curVer, sizeof curVer, cat_file(recorded_version_path))) {
        KOL_LOG("recorded version over %zu characters, taken as none", sizeof curVer - 1);
        curVer[0] = '\0';
    }
    return cmp_version(curVer, newVer);
}

int parse_ctl(version_text& newer) {
    newer[0] = '\0';
    char maj[16] = "Major1";
    ctl_value name, md5, size;
    parse_fileinfo(control_file_path, maj, name, md5, size);

    version_text newVer;
    if (!published_version(name, newVer)) {
        KOL_LOG("status ctlfile fail!");
        return -1;
    }
    const char* slash = std::strrchr(name, '/');
    const char* file_name = slash ? slash + 1 : name;

    KOL_LOG("\n---------------------------------------------\n      firmware:\n      ver =%s\n      file=%s\n"
            "      md5 =%s\n      size=%s\n---------------------------------------------\n",
            newVer, file_name, md5, size);

    if (new_version(newVer)) {
        KOL_LOG("Get new version");
        autoup_set(md5_record_path, md5);
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
    std::size_t len = std::strlen(version);
    unique_fd out(::open(recorded_version_temp_path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    bool ok = out.valid() && ::write(out.get(), version, len) == static_cast<ssize_t>(len);
    if (out.valid() && ::close(out.release()) != 0) ok = false;
    if (ok && std::rename(recorded_version_temp_path, recorded_version_path) == 0) return true;
    ::unlink(recorded_version_temp_path);
    KOL_LOG("cannot record version %s", version);
    return false;
}

}  // namespace kestrel

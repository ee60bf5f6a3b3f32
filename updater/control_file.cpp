#include <cstdio>
#include <cstring>

#include "internal/kol_log.h"
#include "internal/text_builder.h"
#include "internal/unique_fd.h"
#include "updater/updater.h"

namespace kestrel {

void extract_value(const char* line, ctl_value& val) {
    const char* eq = std::strchr(line, '=');
    if (!eq) return;
    const char* p = eq + 1;
    while (*p == ' ' || *p == '\t') ++p;
    // Values longer than the buffer are cut; only the first 32 md5 digits and
    // a version of at most 31 characters are ever used.
    bounded_copy(val, sizeof val, std::string_view(p, std::strcspn(p, "\r\n")));
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
        if (std::strstr(line, "file"))
            extract_value(line, file);
        else if (std::strstr(line, "md5"))
            extract_value(line, md5);
        else if (std::strstr(line, "size"))
            extract_value(line, size);
    }
}

int new_version(const char* newVer) {
    char curVer[32];
    bounded_copy(curVer, sizeof curVer, cat_file(recorded_version_path));
    return cmp_version(curVer, newVer);
}

int parse_ctl() {
    char maj[16] = "Major1";
    ctl_value name, md5, size;
    parse_fileinfo(control_file_path, maj, name, md5, size);

    char newVer[32];
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
        autoup_set(pending_version_path, newVer);
        autoup_set(md5_record_path, md5);
        return 1;
    }
    KOL_LOG("We have had the newest version");
    return 0;
}

int published_version(const char* file_value, char (&version)[32]) {
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

void record_installed_version() {
    char version[32];
    if (!bounded_copy(version, sizeof version, cat_file(pending_version_path)) || version[0] == '\0') return;
    autoup_set(recorded_version_path, version);
}

}  // namespace kestrel

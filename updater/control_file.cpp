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

bool extract_value(const char* line, ctl_value& val) {
    const char* eq = std::strchr(line, '=');
    if (!eq) return true;
    const char* p = eq + 1;
    while (*p == ' ' || *p == '\t') ++p;
    return bounded_copy(val, sizeof val, std::string_view(p, std::strcspn(p, "\r\n")));
}

namespace {

bool is_line(const char* line, std::string_view text) {
    return std::strncmp(line, text.data(), text.size()) == 0 && std::strspn(line + text.size(), "\r\n") ==
                                                                        std::strlen(line + text.size());
}

// One key of the [Release] section: "key=value" from the line's start.
bool release_value(const char* line, std::string_view key, char* val, std::size_t size, bool& cut) {
    if (std::strncmp(line, key.data(), key.size()) != 0 || line[key.size()] != '=') return false;
    const char* p = line + key.size() + 1;
    if (!bounded_copy(val, size, std::string_view(p, std::strcspn(p, "\r\n")))) {
        val[0] = '\0';
        cut = true;
    }
    return true;
}

}  // namespace

void read_control_record(const char* path, control_record& rec, const char* tag) {
    rec = control_record{};
    unique_file in(std::fopen(path, "r"));
    if (!in) return;
    enum { before, major, between, release } where = before;
    char line[512];
    while (std::fgets(line, sizeof line, in.get())) {
        if (where == before) {
            if (std::strstr(line, tag)) where = major;
            continue;
        }
        if (std::strchr(line, '[')) {
            // Only the first [Release] after the tag's section counts.
            if (where == release) break;
            where = is_line(line, "[Release]") ? release : between;
            if (where == release) rec.has_release = true;
            continue;
        }
        if (where == major) {
            if (std::strstr(line, "file")) {
                // A cut name would publish a wrong version, and record it: refused.
                if (!extract_value(line, rec.file)) {
                    KOL_LOG("file value over %zu characters", sizeof rec.file - 1);
                    rec.file[0] = '\0';
                }
            } else if (std::strstr(line, "md5")) {
                // Cut values are harmless here: only 32 md5 digits are compared
                // and the size is only logged.
                extract_value(line, rec.md5);
            } else if (std::strstr(line, "size")) {
                extract_value(line, rec.size);
            }
        } else if (where == release) {
            bool cut = false;
            if (release_value(line, "rollout", rec.rollout, sizeof rec.rollout, cut)) {
                rec.has_rollout = true;
            } else {
                release_value(line, "module", rec.module, sizeof rec.module, cut) ||
                    release_value(line, "path", rec.path, sizeof rec.path, cut);
            }
            if (cut) rec.release_cut = true;
        }
    }
}

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

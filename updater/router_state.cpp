// SPDX-License-Identifier: ISC
#include "updater/router_state.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "build_config.h"
#include "internal/fixed_path.h"
#include "internal/kol_log.h"
#include "internal/text_builder.h"
#include "updater/clock_check.h"

namespace kestrel {

namespace {

constexpr const char floor_name[] = "highest_version";
constexpr const char seq_floor_name[] = "highest_seq";
constexpr const char issued_floor_name[] = "highest_issued";

bool floor_path(const char* name, char (&path)[256]) {
    return bounded_format(path, sizeof path, "%s/%s", build_config::state_dir, name);
}

// The first line of the floor kept as name, as read_owned_line gives it: 1
// read, 0 none kept yet; -1, with problem saying which path and why, when it
// cannot be named or is not ours.
int read_floor(const char* name, char (&line)[64], char (&problem)[320]) {
    char path[256];
    line[0] = '\0';
    if (!floor_path(name, path)) {
        bounded_format(problem, sizeof problem, "%s is too long", build_config::state_dir);
        return -1;
    }
    int r = read_owned_line(path, line, sizeof line);
    if (r < 0) bounded_format(problem, sizeof problem, "%s is not ours", path);
    return r;
}

// A floor's line that reads as no value: problem says so.
bool floor_unusable(const char* name, const char* what, char (&problem)[320]) {
    bounded_format(problem, sizeof problem, "%s/%s is not a %s", build_config::state_dir, name, what);
    return false;
}

// Keeps text as the floor name, synced to storage.
bool keep_floor(const char* name, const char* text) {
    char path[256];
    return floor_path(name, path) && replace_file(path, text, std::strlen(text), true);
}

// Why the state directory cannot hold the floor, or nullptr; made when
// missing.
const char* state_dir_problem() {
    struct stat st;
    if (::lstat(build_config::state_dir, &st) != 0) {
        if (errno != ENOENT) return "cannot be read";
        if (::mkdir(build_config::state_dir, 0755) != 0) return "cannot be created";
        if (::lstat(build_config::state_dir, &st) != 0) return "cannot be read";
    }
    if (!entry_ours(build_config::state_dir, st, fixed_kind::directory)) return "is not root's alone";
    if (::access(build_config::state_dir, W_OK) != 0) return errno == EROFS ? "is read-only" : "cannot be written";
    return nullptr;
}

// The installed file and the good file may be two names of one file; any
// other second link could name a file of ours anywhere, and is not ours.
bool file_ours(const char* path, const char* partner) {
    struct stat st, other;
    if (::lstat(path, &st) != 0) return false;
    if (st.st_nlink == 2 && ::lstat(partner, &other) == 0 && other.st_dev == st.st_dev && other.st_ino == st.st_ino)
        st.st_nlink = 1;
    return entry_ours(path, st, fixed_kind::file);
}

// A second link to from, made in the record directory and renamed onto to.
bool link_by_rename(const char* from, const char* to) {
    constexpr const char temp[] = "/tmp/dbg_log_collect/link.new";
    if (!record_dir_ready()) return false;
    ::unlink(temp);
    // rename() of one link onto another of the same file does nothing, and
    // would leave the temporary as a third link.
    bool linked = ::link(from, temp) == 0 && std::rename(temp, to) == 0;
    ::unlink(temp);
    return linked;
}

}  // namespace

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

int read_state(const char* path, char* buf, std::size_t size) {
    int r = read_owned_line(path, buf, size);
    if (r < 0) KOL_LOG("%s is not ours, taken as none", path);
    return r;
}

bool write_state(const char* path, const char* text) {
    if (record_dir_ready() && replace_file(path, text, std::strlen(text))) return true;
    KOL_LOG("cannot write %s", path);
    return false;
}

void remove_state(const char* path) {
    if (::unlink(path) != 0 && errno != ENOENT) KOL_LOG("cannot remove %s", path);
}

void recorded_version(version_text& version) {
    // Never cut and compared: a record that does not fit counts as none, so
    // the published version is installed and recorded afresh.
    char line[512];
    if (read_state(recorded_version_path, line, sizeof line) <= 0) line[0] = '\0';
    if (!bounded_copy(version, sizeof version, line)) {
        KOL_LOG("recorded version over %zu characters, taken as none", sizeof version - 1);
        version[0] = '\0';
    }
}


bool installed_file_ours() { return file_ours(payload_path, good_path); }
bool good_file_ours() { return file_ours(good_path, payload_path); }

bool keep_good_file() { return installed_file_ours() && link_by_rename(payload_path, good_path); }

bool restore_good_file() {
    if (good_file_ours()) return link_by_rename(good_path, payload_path);
    return ::unlink(payload_path) == 0 || errno == ENOENT;
}

rollback_floor read_rollback_floor() {
    rollback_floor floor{};
    if (const char* cause = state_dir_problem()) {
        bounded_format(floor.problem, sizeof floor.problem, "%s %s", build_config::state_dir, cause);
        return floor;
    }
    char line[64];
    if (read_floor(floor_name, line, floor.problem) < 0) return floor;
    if (!bounded_copy(floor.highest, sizeof floor.highest, line)) {
        floor.highest[0] = '\0';
        floor_unusable(floor_name, "version", floor.problem);
        return floor;
    }
    floor.usable = true;
    return floor;
}

void raise_rollback_floor(const char* version) {
    rollback_floor floor = read_rollback_floor();
    if (floor.usable && cmp_version(floor.highest, version) != 1) return;
    if (!floor.usable || !keep_floor(floor_name, version))
        KOL_LOG("cannot keep version %s in %s", version, build_config::state_dir);
}

namespace {

// One release floor into value (0 when none kept yet); false with problem.
bool read_number_floor(const char* name, unsigned long long& value, char (&problem)[320]) {
    value = 0;
    char line[64];
    int r = read_floor(name, line, problem);
    if (r < 0) return false;
    if (r > 0 && !decimal_value(line, std::strlen(line), value)) return floor_unusable(name, "number", problem);
    return true;
}

bool keep_number_floor(const char* name, unsigned long long value, char (&problem)[320]) {
    char text[24];
    std::snprintf(text, sizeof text, "%llu", value);
    if (keep_floor(name, text)) return true;
    bounded_format(problem, sizeof problem, "%s/%s cannot be kept", build_config::state_dir, name);
    return false;
}

}  // namespace

release_floors read_release_floors() {
    release_floors floors{};
    if (const char* cause = state_dir_problem()) {
        bounded_format(floors.problem, sizeof floors.problem, "%s %s", build_config::state_dir, cause);
        return floors;
    }
    floors.usable = read_number_floor(seq_floor_name, floors.seq, floors.problem) &&
                    read_number_floor(issued_floor_name, floors.issued, floors.problem);
    return floors;
}

bool raise_release_floors(const control_record& rec, release_floors& floors) {
    // One flash write each, only when the value rises.
    if (rec.seq.value > floors.seq) {
        if (!keep_number_floor(seq_floor_name, rec.seq.value, floors.problem)) return false;
        floors.seq = rec.seq.value;
    }
    if (rec.issued.value > floors.issued) {
        if (!keep_number_floor(issued_floor_name, rec.issued.value, floors.problem)) return false;
        floors.issued = rec.issued.value;
    }
    return true;
}

router_view read_router_view(bool signed_run) {
    router_view view{};
    view.signed_run = signed_run;
    recorded_version(view.recorded);
    char line[64];
    if (read_state(refused_path, line, sizeof line) <= 0 || !bounded_copy(view.refused, sizeof view.refused, line))
        view.refused[0] = '\0';
    if (signed_run) {
        view.floor = read_rollback_floor();
        view.releases = read_release_floors();
    }
    view.clock_synced = clock_synchronized();
    view.now = static_cast<long long>(::time(nullptr));
    return view;
}

}  // namespace kestrel

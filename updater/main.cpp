// kestreld: one update pass of the debug-log configuration, then exit.
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "build_config.h"
#include <kestrel/config.h>
#include "internal/fixed_path.h"
#include "internal/kernel_random.h"
#include "internal/kol_log.h"
#include "internal/shell_command.h"
#include "internal/text_builder.h"
#include "updater/install.h"
#include "release/release_names.h"
#include "updater/clock_check.h"
#include "updater/pid_guard.h"
#include "updater/release_checks.h"
#include "updater/release_floor.h"
#include "updater/rollback_guard.h"
#include "updater/run_dir.h"
#include "updater/rollout.h"
#include "updater/run_limit.h"
#include "updater/run_status.h"
#include "updater/signature.h"
#include "updater/updater.h"

using namespace kestrel;

namespace {

constexpr const char default_file_path[] = "/sw-apps/dbg_log_collect/";
constexpr const char probe_failed[] = "Cannot connect to server , will try 60s later!!";
constexpr int probe_tries = 3;
constexpr unsigned probe_pause_seconds = 60;
constexpr unsigned long max_splay_seconds = 3600;

// The buffers of one run, and where its files live.
struct run_state {
    run_dir dir;
    run_status* status = nullptr;
    char module[16] = {};
    char host[256] = {};
    char file_path[256] = {};
    char url[256] = {};
    bool signed_run = false;
};

// Runs one of the run's fixed command lines.
command_result run_fixed(const char* line) {
    char cmd[64];
    return run_command(text_builder(cmd).raw(line));
}

// Copies a configured key; false (and logged) when the value does not fit.
bool copy_config(const char* key, char (&dst)[256]) {
    if (bounded_copy(dst, sizeof dst, config_get(key))) return true;
    KOL_LOG("value of %s too long", key);
    return false;
}

// A random wait of up to dbg_splay seconds before the first request, so
// that a fleet booting together does not ask the server in one second.  It
// does not count against the run's time limit.
void splay() {
    const char* value = config_get("dbg_splay");
    if (!value[0]) return;
    unsigned long most = 0;
    for (const char* p = value; *p; ++p) {
        if (*p < '0' || *p > '9') {
            KOL_LOG("dbg_splay [%s] is not a whole number of seconds, taken as 0", value);
            return;
        }
        if (most <= max_splay_seconds) most = most * 10 + static_cast<unsigned long>(*p - '0');
    }
    if (most > max_splay_seconds) most = max_splay_seconds;
    if (most == 0) return;
    unsigned char r[4] = {};
    kernel_random(r, sizeof r);
    // 0 to most: the random fraction r / 2^32 scaled, not divided.
    unsigned long long fraction = static_cast<unsigned long long>(r[0]) << 24 | r[1] << 16 | r[2] << 8 | r[3];
    ::sleep(static_cast<unsigned>(fraction * (most + 1) >> 32));
    run_limit_restart();
}

// Probes the ping target before the default server is used; the run goes on
// whatever the outcome.
void probe_default_server(const run_dir& dir) {
    run_path output = run_dir_file(dir, run_file::probe_output);
    for (int i = 0; i < probe_tries; ++i) {
        if (kol_ping(4, build_config::ping_target, output, 0)) return;
        std::fwrite(probe_failed, 1, sizeof probe_failed - 1, stderr);
        ::sleep(probe_pause_seconds);
    }
}

// Fetches one file of the module's directory into the run's directory.
bool fetch(run_state& run, const char* name, const char* local, long long cap, bool* over_ftp = nullptr) {
    if (bounded_format(run.url, sizeof run.url, "%s%s/%s", run.file_path, run.module, name))
        return ra_transfer_file(run.host, run.url, local, cap, over_ftp) == 1;
    KOL_LOG("server path too long: %s", run.url);
    return false;
}

// Whether this router takes version now, by the release's rollout.
bool rollout_reaches_us(const run_state& run, const control_record& rec, const char* version) {
    int percent = rollout_percent(rec);
    if (percent >= 100) return true;
    int bucket = rollout_bucket(version, run_dir_file(run.dir, run_file::bucket_digest));
    if (bucket < percent) return true;
    KOL_LOG("version %s is rolling out to %d%%, this router's bucket is %d", version, percent, bucket);
    return false;
}

// Each way out sets the run's result; the status gives the line logged last
// as its reason.
void update(run_state& run) {
    run_status* st = run.status;
    if (!record_dir_ready()) return run_status_set(st, run_result::failed);

    if (!bounded_copy(run.module, sizeof run.module, cat_file("/module_name"))) {
        KOL_LOG("module name too long: %s", cat_file("/module_name"));
        return run_status_set(st, run_result::failed);
    }
    for (char* p = run.module; *p; ++p) *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));

    signing_keys keys = signing_keys_state();
    if (keys == signing_keys::unusable) return run_status_set(st, run_result::refused);
    run.signed_run = keys == signing_keys::usable;

    if (config_match("dbg_ftp_path", "")) {
        probe_default_server(run.dir);
    } else if (!copy_config("dbg_ftp_path", run.host)) {
        return run_status_set(st, run_result::failed);
    }

    if (config_match("dbg_file_path", "")) {
        bounded_copy(run.file_path, sizeof run.file_path, default_file_path);
    } else if (!copy_config("dbg_file_path", run.file_path)) {
        return run_status_set(st, run_result::failed);
    }

    // Verified as narrowed; only the signed text is read.
    run_path control = run_dir_file(run.dir, run_file::control);
    bool over_ftp = false;
    if (!fetch(run, "fileinfo.txt", control, control_file_cap, &over_ftp)) {
        KOL_LOG("no control file could be fetched");
        return run_status_set(st, run_result::failed);
    }
    if (st) bounded_copy(st->transport, sizeof st->transport, over_ftp ? "ftp" : "https");
    control_record rec;
    release_floors floors{};
    if (run.signed_run) {
        run_path signed_text = run_dir_file(run.dir, run_file::signed_control);
        if (!control_signatures_verified(control, signed_text, run_dir_file(run.dir, run_file::signature), run.url,
                                         build_config::signatures_needed))
            return run_status_set(st, run_result::refused);
        read_control_record(signed_text, rec);
        if (!release_bound_here(rec, run.module, run.file_path) || !release_fields_usable(rec) ||
            !read_release_floors(floors) || !seq_not_replayed(rec, floors.seq) ||
            !raise_release_floors(floors, rec))
            return run_status_set(st, run_result::refused);
    } else {
        read_control_record(control, rec);
    }

    // A control file naming no version (-1) stops the run like "nothing new".
    version_text newer;
    int decision = parse_ctl(rec, run_dir_file(run.dir, run_file::md5_record), newer);
    if (decision == -1) {
        KOL_LOG("the control file names no version");
        return run_status_set(st, run_result::refused);
    }
    if (st) published_version(rec.file, st->published);
    if (decision == 0) return run_status_set(st, run_result::current);
    if ((run.signed_run && !not_older_than_installed(newer)) || version_refused(newer))
        return run_status_set(st, run_result::refused);
    if (run.signed_run) {
        // This control file's issued counts too: a clock behind it is wrong.
        unsigned long long highest_issued = rec.issued.value > floors.issued ? rec.issued.value : floors.issued;
        freshness fresh = release_freshness(rec, highest_issued, ::time(nullptr), clock_synchronized());
        if (fresh == freshness::expired) return run_status_set(st, run_result::refused);
        if (st) st->expiry_unchecked = fresh == freshness::unchecked;
    }
    if (!rollout_reaches_us(run, rec, newer)) return run_status_set(st, run_result::waiting);

    run_path staged = run_dir_file(run.dir, run_file::payload);
    // A signed release's payload by its digest name, which never changes meaning.
    if (!fetch(run, run.signed_run ? rec.payload : payload_file_name, staged, build_config::max_download)) {
        KOL_LOG("the payload of version %s could not be fetched", newer);
        return run_status_set(st, run_result::failed);
    }
    if (run.signed_run && !check_sha256(staged, rec.sha256)) return run_status_set(st, run_result::refused);
    if (!check_md5(staged, run_dir_file(run.dir, run_file::md5_record))) {
        KOL_LOG("md5 check failed, keeping the installed file");
        return run_status_set(st, run_result::refused);
    }

    switch (install_and_restart(staged, run_dir_file(run.dir, run_file::installed_before), newer,
                                build_config::health_check)) {
        case install_end::installed:
            if (run.signed_run) raise_highest_installed(newer);
            return run_status_set(st, run_result::installed);
        case install_end::rolled_back:
            return run_status_set(st, run_result::rolled_back);
        case install_end::not_installed:
            return run_status_set(st, run_result::failed);
    }
}

void clean_up(const run_dir& dir) {
    // What this run moved out of a fixed name goes too.
    run_dir_sweep(dir);
    run_dir_remove(dir);
    // The pid file goes last: a run that starts once it is gone must not
    // lose its fresh records to this run's cleanup.
    run_fixed("rm /var/run/kestreld.pid");
}

// After a worker that was stopped or killed.  The pid file and the status
// only while the pid file is still this run's: the worker may have got
// through its own cleanup, and a newer run may hold the name now.
void clean_up_after_worker(const unique_fd& pid_file, const run_dir& dir, const run_status* status) {
    if (pid_file.valid() && !pid_guard_still_ours(pid_file, dbg_pid)) {
        run_dir_remove(dir);
        return;
    }
    run_status_write(status);
    clean_up(dir);
}

}  // namespace

int main() {
    // Files the run makes are readable by the router's other programs and
    // writable by root alone, whatever umask it was started with.
    ::umask(022);

    unique_fd pid_file;
    if (pid_guard_acquire(dbg_pid, pid_file) == pid_guard_status::running) {
        KOL_LOG("ospreyd is already running!!!");
        return 0;
    }

    if (::daemon(1, 1) != 0) KOL_LOG("daemon failed, running in the foreground");
    timespec started{};
    ::clock_gettime(CLOCK_MONOTONIC, &started);

    // Made before the worker, so that the supervisor can remove it after
    // a worker that did not end by itself.  What killed runs left goes first.
    run_state run;
    run.status = run_status_shared();
    if (!run_dir_make(run.dir)) {
        run_status_set(run.status, run_result::failed);
        run_status_write(run.status);
        clean_up(run.dir);
        return 1;
    }
    run_dir_sweep(run.dir);

    // The run proper happens in a worker process; this one holds it to the
    // time limit and cleans up after it if it does not end by itself.
    pid_t worker = run_start_worker();
    if (worker == 0) {
        pid_guard_record_self(pid_file);
        splay();
        update(run);
        // Before the pid file goes: once it is gone, the status is final.
        run_status_write(run.status);
        clean_up(run.dir);
        return 1;
    }
    if (worker < 0) {
        KOL_LOG("cannot start the run");
        run_status_set(run.status, run_result::failed);
        run_status_write(run.status);
        clean_up(run.dir);
        return 1;
    }

    run_outcome outcome = run_supervise(worker, started, build_config::run_limit_seconds);
    if (outcome.end == run_end::finished) return outcome.status;
    char name[16];
    if (outcome.end == run_end::over_limit)
        KOL_LOG("run stopped at its limit of %u seconds", build_config::run_limit_seconds);
    else if (outcome.end == run_end::stopped)
        KOL_LOG("run stopped by %s", signal_name(outcome.status, name));
    else
        KOL_LOG("run ended by %s", signal_name(outcome.status, name));
    run_status_set(run.status, run_result::stopped);
    clean_up_after_worker(pid_file, run.dir, run.status);
    return 1;
}

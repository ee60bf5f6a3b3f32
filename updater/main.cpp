// SPDX-License-Identifier: ISC
// kestreld: one update pass of the debug-log configuration, then exit.
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "build_config.h"
#include <kestrel/config.h>
#include "internal/fixed_path.h"
#include "internal/kernel_random.h"
#include "internal/kol_log.h"
#include "internal/shell_command.h"
#include "internal/text_builder.h"
#include "updater/decision.h"
#include "updater/install.h"
#include "release/release_names.h"
#include "updater/pid_guard.h"
#include "updater/release_checks.h"
#include "updater/run_dir.h"
#include "updater/router_state.h"
#include "updater/run_limit.h"
#include "updater/run_status.h"
#include "updater/signature.h"
#include "updater/user_agent.h"
#include "updater/updater.h"

using namespace kestrel;

namespace {

constexpr const char default_file_path[] = "/sw-apps/dbg_log_collect/";
constexpr const char probe_failed[] = "Cannot connect to server , will try 60s later!!";
constexpr int probe_tries = 3;
constexpr unsigned probe_pause_seconds = 60;
constexpr unsigned long max_splay_seconds = 3600;
constexpr service_check service{build_config::health_check, build_config::restart_timeout_seconds,
                                build_config::health_timeout_seconds};

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
// happens before the run's time limit starts counting, in one sleep() that a
// stop signal cuts short: then that signal, else 0.
volatile sig_atomic_t stop_signal;

void note_stop(int sig) { stop_signal = sig; }

int splay() {
    const char* value = config_get("dbg_splay");
    if (!value[0]) return 0;
    unsigned long most = 0;
    for (const char* p = value; *p; ++p) {
        if (*p < '0' || *p > '9') {
            KOL_LOG("dbg_splay [%s] is not a whole number of seconds, taken as 0", value);
            return 0;
        }
        if (most <= max_splay_seconds) most = most * 10 + static_cast<unsigned long>(*p - '0');
    }
    if (most > max_splay_seconds) most = max_splay_seconds;
    if (most == 0) return 0;
    unsigned char r[4] = {};
    kernel_random(r, sizeof r);
    // 0 to most: the random fraction r / 2^32 scaled, not divided.
    unsigned long long fraction = static_cast<unsigned long long>(r[0]) << 24 | r[1] << 16 | r[2] << 8 | r[3];
    struct sigaction stop {};
    stop.sa_handler = note_stop;  // no SA_RESTART: the sleep ends at once
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(sig, &stop, nullptr);
    ::sleep(static_cast<unsigned>(fraction * (most + 1) >> 32));
    stop.sa_handler = SIG_DFL;
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(sig, &stop, nullptr);
    return stop_signal;
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

// Where the module's files are asked for: the configured server and path,
// or the defaults (the server probed first).
bool choose_source(run_state& run) {
    if (config_match("dbg_ftp_path", "")) {
        probe_default_server(run.dir);
    } else if (!copy_config("dbg_ftp_path", run.host)) {
        return false;
    }
    if (config_match("dbg_file_path", "")) return bounded_copy(run.file_path, sizeof run.file_path, default_file_path);
    return copy_config("dbg_file_path", run.file_path);
}

// The control file fetched, verified when the router holds keys, and read
// once into rec, from the same private copy.
bool fetch_control(run_state& run, control_record& rec) {
    run_status* st = run.status;
    run_path control = run_dir_file(run.dir, run_file::control);
    bool over_ftp = false;
    if (!fetch(run, "fileinfo.txt", control, control_file_cap, &over_ftp)) {
        run_status_end(st, run_result::failed, "no control file could be fetched");
        return false;
    }
    if (st) bounded_copy(st->transport, sizeof st->transport, over_ftp ? "ftp" : "https");
    if (!run.signed_run) {
        read_control_record(control, rec);
        return true;
    }
    // Only the text the signatures cover is read.
    refusal_text why;
    run_path signed_text = run_dir_file(run.dir, run_file::signed_control);
    bool verified = control_signatures_verified(control, signed_text, run_dir_file(run.dir, run_file::signature),
                                                run.url, build_config::signatures_needed, why);
    if (verified) read_control_record(signed_text, rec);
    if (verified && release_bound_here(rec, run.module, run.file_path, why) && release_fields_usable(rec, why))
        return true;
    run_status_set(st, run_result::refused, why);
    return false;
}

// The payload of version fetched to staged and checked against the control
// file: by its digest name and SHA-256 when the router holds keys, then its
// MD5.
bool fetch_payload(run_state& run, const control_record& rec, const char* version, const char* staged) {
    run_status* st = run.status;
    if (!fetch(run, run.signed_run ? rec.payload : payload_file_name, staged, build_config::max_download)) {
        run_status_end(st, run_result::failed, "the payload of version %s could not be fetched", version);
        return false;
    }
    if (run.signed_run && !check_sha256(staged, rec.sha256)) {
        run_status_set(st, run_result::refused, "sha256 check failed, keeping the installed file");
        return false;
    }
    run_path md5_record = run_dir_file(run.dir, run_file::md5_record);
    autoup_set(md5_record, rec.md5);
    if (check_md5(staged, md5_record)) return true;
    run_status_end(st, run_result::refused, "md5 check failed, keeping the installed file");
    return false;
}

// A run ended while the service was judging a version (killed, stopped,
// or at its limit): that version does not start.
bool rolled_back_interrupted(run_status* st) {
    version_text judged;
    if (!judging_interrupted(judged)) return false;
    roll_back(judged, service);
    run_status_end(st, run_result::rolled_back, "the previous run ended while judging version %s: rolled back", judged);
    return true;
}

// The run: fetch, verify, decide, fetch the payload, install, judge.  Each
// way out sets the run's result and its reason.
void update(run_state& run) {
    run_status* st = run.status;
    if (!record_dir_ready()) return run_status_end(st, run_result::failed, "cannot make %s", record_dir_path);
    if (rolled_back_interrupted(st)) return;

    if (!read_module_name(run.module))
        return run_status_end(st, run_result::failed, "module name too long: %s", cat_file("/module_name"));

    refusal_text why;
    signing_keys keys = signing_keys_state(why);
    if (keys == signing_keys::unusable) return run_status_set(st, run_result::refused, why);
    run.signed_run = keys == signing_keys::usable;

    if (!choose_source(run)) return run_status_end(st, run_result::failed, "the configured server does not fit");
    control_record rec;
    if (!fetch_control(run, rec)) return;

    router_view view = read_router_view(run.signed_run);
    decision d = decide(rec, view, run_dir_file(run.dir, run_file::bucket_digest));
    if (st) {
        bounded_copy(st->published, sizeof st->published, d.version);
        st->expiry_unchecked = d.expiry_unchecked;
    }
    // Raised after every verified control file, failing closed as the
    // rollback floor does.
    if (d.seq_verified && !raise_release_floors(rec, view.releases))
        return run_status_end(st, run_result::refused, "rollback floor unusable: %s: update refused",
                              view.releases.problem);
    if (!d.take) return run_status_set(st, d.result, d.reason);

    run_path staged = run_dir_file(run.dir, run_file::payload);
    if (!fetch_payload(run, rec, d.version, staged)) return;

    switch (install_and_restart(staged, d.version, service)) {
        case install_end::installed:
            if (run.signed_run) raise_rollback_floor(d.version);
            return run_status_end(st, run_result::installed, "version %s installed and the service restarted",
                                  d.version);
        case install_end::rolled_back:
            return run_status_end(st, run_result::rolled_back, "version %s does not start: rolled back", d.version);
        case install_end::not_installed:
            return run_status_end(st, run_result::failed, "version %s could not be installed", d.version);
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

// After a worker that did not end by itself.  Only while the pid file is
// still this run's: the worker may have got through its own cleanup, and a
// newer run may hold the name now.  A version being judged when the limit
// fell does not start.
void end_after_worker(const run_outcome& outcome, const unique_fd& pid_file, run_state& run) {
    if (run.status && run.status->command_group > 0) ::kill(-run.status->command_group, SIGKILL);
    if (pid_file.valid() && !pid_guard_still_ours(pid_file, dbg_pid)) return run_dir_remove(run.dir);
    char name[16];
    version_text judged;
    unsigned limit = build_config::run_limit_seconds;
    if (outcome.end == run_end::over_limit && judging_interrupted(judged)) {
        roll_back(judged, service);
        run_status_end(run.status, run_result::rolled_back,
                       "run stopped at its limit of %u seconds while judging version %s: rolled back", limit, judged);
    } else if (outcome.end == run_end::over_limit) {
        run_status_end(run.status, run_result::stopped, "run stopped at its limit of %u seconds", limit);
    } else if (outcome.end == run_end::stopped) {
        run_status_end(run.status, run_result::stopped, "run stopped by %s", signal_name(outcome.status, name));
    } else {
        run_status_end(run.status, run_result::stopped, "run ended by %s", signal_name(outcome.status, name));
    }
    run_status_write(run.status);
    clean_up(run.dir);
}

// A run that ends before its worker starts.
int end_early(run_state& run) {
    run_status_write(run.status);
    clean_up(run.dir);
    return 1;
}

}  // namespace

int main() {
    // Files the run makes are readable by the router's other programs and
    // writable by root alone, whatever umask it was started with.
    ::umask(022);

    unique_fd pid_file;
    switch (pid_guard_acquire(dbg_pid, pid_file)) {
        case pid_guard_status::running:
            KOL_LOG("ospreyd is already running!!!");
            return 0;
        case pid_guard_status::unguarded:
            // A second run could start beside this one: neither may go on.
            KOL_LOG("cannot create %s: run stopped", dbg_pid);
            return 1;
        case pid_guard_status::acquired:
            break;
    }

    if (::daemon(1, 1) != 0) KOL_LOG("daemon failed, running in the foreground");
    pid_guard_record_self(pid_file);

    run_state run;
    run.status = run_status_shared();
    if (run.status) run_command_share_group(&run.status->command_group);
    if (int sig = splay()) {
        char name[16];
        run_status_end(run.status, run_result::stopped, "run stopped by %s", signal_name(sig, name));
        return end_early(run);
    }
    timespec started{};
    ::clock_gettime(CLOCK_MONOTONIC, &started);

    // Made before the worker, so that the supervisor can remove it after
    // a worker that did not end by itself.  What killed runs left goes first.
    if (!run_dir_make(run.dir)) {
        run_status_set(run.status, run_result::failed, "cannot make a private directory under /tmp");
        return end_early(run);
    }
    run_dir_sweep(run.dir);

    // The run proper happens in a worker process; this one holds it to the
    // time limit and cleans up after it if it does not end by itself.
    pid_t worker = run_start_worker();
    if (worker == 0) {
        pid_guard_record_self(pid_file);
        user_agent_start(run_dir_file(run.dir, run_file::serial_digest));
        update(run);
        // Before the pid file goes: once it is gone, the status is final.
        run_status_write(run.status);
        report_outcome(run.host, run.file_path, run.status, run_dir_file(run.dir, run_file::serial_digest));
        clean_up(run.dir);
        return 1;
    }
    if (worker < 0) {
        run_status_end(run.status, run_result::failed, "cannot start the run");
        return end_early(run);
    }

    run_outcome outcome = run_supervise(worker, started, build_config::run_limit_seconds);
    if (outcome.end == run_end::finished) return outcome.status;
    end_after_worker(outcome, pid_file, run);
    return 1;
}

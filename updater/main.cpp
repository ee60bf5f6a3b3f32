// kestreld: one update pass of the debug-log configuration, then exit.
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "build_config.h"
#include <kestrel/config.h>
#include "internal/kol_log.h"
#include "internal/shell_command.h"
#include "internal/text_builder.h"
#include "unicode/narrow_utf16.h"
#include "updater/pid_guard.h"
#include "updater/run_limit.h"
#include "updater/signature.h"
#include "updater/updater.h"

using namespace kestrel;

namespace {

constexpr const char default_file_path[] = "/sw-apps/dbg_log_collect/";
constexpr const char probe_output[] = "/tmp/rae_ping_result";
constexpr const char probe_failed[] = "Cannot connect to server , will try 60s later!!";
constexpr int probe_tries = 3;
constexpr unsigned probe_pause_seconds = 60;

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

// Probes the ping target before the default server is used; the run goes on
// whatever the outcome.
void probe_default_server() {
    for (int i = 0; i < probe_tries; ++i) {
        if (kol_ping(4, build_config::ping_target, probe_output, 0)) return;
        std::fwrite(probe_failed, 1, sizeof probe_failed - 1, stderr);
        ::sleep(probe_pause_seconds);
    }
}

// The version is recorded only once the service has restarted on the new
// payload: a run cut short before that leaves the old record, so the next
// run installs and restarts again.
void install_and_restart(const char* version) {
    if (!check_md5(payload_staging_path, md5_record_path)) {
        KOL_LOG("md5 check failed, keeping the installed file");
        return;
    }
    if (std::rename(payload_staging_path, payload_path) != 0) {
        KOL_LOG("cannot install %s", payload_path);
        return;
    }
    run_fixed("/etc/init.d/oru stop; /etc/init.d/oru start");
    record_version(version);
}

void update(char (&module)[16], char (&host)[256], char (&file_path)[256], char (&url)[256]) {
    run_fixed("mkdir /tmp/dbg_log_collect >/dev/console");

    if (!bounded_copy(module, sizeof module, cat_file("/module_name"))) {
        KOL_LOG("module name too long: %s", cat_file("/module_name"));
        return;
    }
    for (char* p = module; *p; ++p) *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));

    std::memset(host, 0, sizeof host);
    if (config_match("dbg_ftp_path", "")) {
        probe_default_server();
    } else if (!copy_config("dbg_ftp_path", host)) {
        return;
    }

    if (config_match("dbg_file_path", "")) {
        bounded_copy(file_path, sizeof file_path, default_file_path);
    } else if (!copy_config("dbg_file_path", file_path)) {
        return;
    }

    if (!bounded_format(url, sizeof url, "%s%s/fileinfo.txt", file_path, module)) {
        KOL_LOG("server path too long: %s", url);
        return;
    }
    if (ra_transfer_file(host, url, control_file_path) != 1) return;
    if (!control_file_signed(host, url)) return;

    // A control file naming no version (-1) stops the run like "nothing new".
    version_text newer;
    if (parse_ctl(newer) != 1) return;

    if (!bounded_format(url, sizeof url, "%s%s/dbg-gen.cfg", file_path, module)) {
        KOL_LOG("server path too long: %s", url);
        return;
    }
    if (ra_transfer_file(host, url, payload_staging_path) != 1) return;
    if (!payload_signed(host, url)) return;

    install_and_restart(newer);
}

void clean_up() {
    ::unlink(control_file_path);
    ::unlink(payload_staging_path);
    remove_signature_files();
    run_fixed("rm /tmp/dbg_md5");
    run_fixed("rm /tmp/dbg_version");
    // The pid file goes last: a run that starts once it is gone must not
    // lose its fresh records to this run's cleanup.
    run_fixed("rm /var/run/kestreld.pid");
}

// After a worker that was stopped or killed: its temporary files too, unless
// it got through its own cleanup (the pid file is then gone, and the files
// may already be a newer run's).
void clean_up_after_worker(const unique_fd& pid_file) {
    if (pid_file.valid() && !pid_guard_still_ours(pid_file, dbg_pid)) return;
    ::unlink(digest_path);
    ::unlink(recorded_version_temp_path);
    ::unlink(narrow_temp_path);
    clean_up();
}

}  // namespace

int main() {
    char url[256] = {};
    char host[256] = {};
    char module[16] = {};
    char file_path[256] = {};

    unique_fd pid_file;
    if (pid_guard_acquire(dbg_pid, pid_file) == pid_guard_status::running) {
        KOL_LOG("ospreyd is already running!!!");
        return 0;
    }

    if (::daemon(1, 1) != 0) KOL_LOG("daemon failed, running in the foreground");
    timespec started{};
    ::clock_gettime(CLOCK_MONOTONIC, &started);

    // The run proper happens in a worker process; this one holds it to the
    // time limit and cleans up after it if it does not end by itself.
    pid_t worker = run_start_worker();
    if (worker == 0) {
        pid_guard_record_self(pid_file);
        update(module, host, file_path, url);
        clean_up();
        return 1;
    }
    if (worker < 0) {
        KOL_LOG("cannot start the run");
        clean_up();
        return 1;
    }

    run_outcome outcome = run_supervise(worker, started, build_config::run_limit_seconds);
    if (outcome.end == run_end::finished) return outcome.status;
    if (outcome.end == run_end::over_limit)
        KOL_LOG("run stopped at its limit of %u seconds", build_config::run_limit_seconds);
    else
        KOL_LOG("run ended by signal %d", outcome.status);
    clean_up_after_worker(pid_file);
    return 1;
}

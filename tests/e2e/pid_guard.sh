#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Single instance: a pid file naming a live run stops the run, a stale one
# (its process gone, or not a run of the daemon) is taken over, and of runs
# started at the same instant exactly one goes on.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

module=abc
dir=$E2E_PREFIX$module
pidfile=/var/run/kestreld.pid

e2e_setup "$module"
e2e_config "dbg_ftp_path=$E2E_HTTPS_HOST"
e2e_start_server
e2e_make_payload "$sb_dir/payload.cfg"
e2e_publish "$module" 1.0.1 "$sb_dir/payload.cfg"

e2e_case "pid file naming a live run"
e2e_reset
e2e_arm oru-stop
E2E_OUT=$sb_dir/first.out E2E_ERR=$sb_dir/first.err E2E_RESULT=$sb_dir/first.result e2e_run &
first=$!
e2e_reached oru-stop >/dev/null
cp "$pidfile" "$sb_dir/pidfile.before"
: > "$E2E_LOG"
e2e_run --beside-a-run
e2e_assert_eq "$E2E_STARTED" 0 "exit status"
e2e_assert_eq "$E2E_DETACHED" "" "detached runs"
e2e_assert_content "$E2E_ERR" "" "stderr"
e2e_assert_log "ospreyd is already running!!!"
e2e_assert_eq "$(wc -l < "$E2E_LOG")" 1 "log lines"
e2e_assert_same_file "$pidfile" "$sb_dir/pidfile.before" "pid file"
e2e_assert_eq "$(e2e_requests "$dir/fileinfo.txt")" 1 "control file requests (the first run's)"
e2e_release oru-stop
wait "$first" || e2e_fail "the first run failed"

e2e_case "pid file naming a live process that is not a run: taken over"
e2e_reset
sleep 300 &
live=$!
printf '%d\n' "$live" > "$pidfile"
e2e_run
e2e_assert_ran
e2e_assert_eq "$(e2e_log_count "stale pid file $pidfile (pid $live, sleep), taking it over")" 1 \
  "log lines on the pid file taken over"
e2e_assert_same_file /tmp/dbg-gen.cfg "$sb_dir/payload.cfg" "installed payload"
e2e_assert_cleaned_up
kill -0 "$live" || e2e_fail "the process named in the pid file was touched"
kill "$live"
wait "$live" 2>/dev/null || true

e2e_case "pid file naming a process that is gone"
e2e_reset
true &
gone=$!
wait "$gone"
kill -0 "$gone" 2>/dev/null && e2e_fail "pid $gone should be gone"
printf '%d\n' "$gone" > "$pidfile"
e2e_run
e2e_assert_ran
e2e_assert_eq "$(sed -nE 's/^DEBUG:   [a-z_]+ L#[0-9]+ (stale pid file.*)$/\1/p' "$E2E_LOG" | grep -c "pid $gone" || true)" 1 \
  "log lines on the stale pid file taken over"
e2e_assert_eq "$(e2e_log_count "ospreyd is already running!!!")" 0 "refusals"
e2e_assert_same_file /tmp/dbg-gen.cfg "$sb_dir/payload.cfg" "installed payload"
e2e_assert_content "$E2E_ORU_CALLS" $'stop\nstart\n' "calls of /etc/init.d/oru"
e2e_assert_pid_file_named_the_run
e2e_assert_cleaned_up

e2e_case "no pid file can be made: the run stops, writing nothing"
e2e_reset
mount -t tmpfs -o ro,mode=0755 readonly /run
e2e_run
umount /run
e2e_assert_eq "$E2E_STARTED" 1 "exit status"
e2e_assert_eq "$E2E_DETACHED" "" "detached runs"
e2e_assert_log "cannot create $pidfile: run stopped"
e2e_assert_absent /tmp/dbg_log_collect "record directory"
e2e_assert_eq "$(e2e_requests "$dir/fileinfo.txt")" 0 "control file requests"

# Several rounds: the race between creating and locking the file is narrow.
# The service takes a second to stop, so the run that goes on is surely still
# active when the other reaches the guard, even on a loaded machine.
echo 1 > "$E2E_ORU_DELAY"
for round in 1 2 3 4 5; do
  e2e_case "three starts at the same instant, round $round"
  e2e_reset
  e2e_run --count 3
  e2e_assert_eq "$E2E_STARTED" "0 0 0" "exit statuses seen by the callers"
  e2e_assert_eq "$E2E_DETACHED" 1 "detached runs and their exit status"
  e2e_assert_eq "$(e2e_requests "$dir/fileinfo.txt")" 1 "control file requests"
  e2e_assert_content "$E2E_ORU_CALLS" $'stop\nstart\n' "calls of /etc/init.d/oru"
  # Lines of concurrent runs may interleave (each is three appends): count pieces.
  e2e_assert_eq "$(grep -o "ospreyd is already running!!!" "$E2E_LOG" | wc -l)" 2 "refusals logged"
  e2e_assert_eq "$(grep -o "DEBUG:   main L#[0-9]* " "$E2E_LOG" | wc -l)" 2 "log lines of main"
  e2e_assert_cleaned_up
  awk -v s="$E2E_SECONDS" 'BEGIN { exit !(s >= 1) }' || e2e_fail "the slow service did not slow the run ($E2E_SECONDS s)"
done

echo "pid_guard: all cases passed"

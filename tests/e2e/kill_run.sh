#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# A run killed at any step of the install and the restart.  Killed before
# the restart or after the verdict, the next run leaves the new configuration
# installed, the service running on it and the version recorded; killed
# while the service was judging it, the next run puts the previous one back
# and refuses the version.  Each step is held at a gate (a wrapper of the
# command the run starts) while the test kills the run there.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

module=abc
pidfile=/var/run/kestreld.pid
E2E_TIMEOUT=30

e2e_setup "$module"
e2e_config "dbg_ftp_path=$E2E_HTTPS_HOST"
e2e_gate_commands
e2e_start_server
e2e_make_payload "$sb_dir/v1.cfg" v1
e2e_make_payload "$sb_dir/v2.cfg" v2
e2e_publish "$module" 2.0 "$sb_dir/v2.cfg"
v1=$(e2e_md5 "$sb_dir/v1.cfg" | tr 'A-F' 'a-f')
v2=$(e2e_md5 "$sb_dir/v2.cfg" | tr 'A-F' 'a-f')

# The router before each case: version 1.0 installed, recorded and running.
router_on_v1() {
  e2e_reset
  cp "$sb_dir/v1.cfg" /tmp/dbg-gen.cfg
  mkdir -p /tmp/dbg_log_collect
  printf 1.0 > /tmp/dbg_log_collect/dbg_version
  echo "running $v1" > "$E2E_ORU_STATE"
}

# Starts a run in the background that stops at STEP; sets worker (the pid in
# the pid file), supervisor (its parent) and launcher (the background job).
start_held_at() { # STEP
  e2e_arm "$1"
  e2e_run &
  launcher=$!
  e2e_reached "$1" >/dev/null
  worker=$(cat "$pidfile")
  supervisor=$(sed 's/.*) //' "/proc/$worker/stat" | cut -d' ' -f2)
  [ "$worker" != "$supervisor" ] || e2e_fail "the pid file names the supervisor"
}

# The state a run killed at STEP leaves: installed file, recorded version,
# service.
expect_after_kill() { # INSTALLED RECORDED SERVICE
  e2e_assert_same_file /tmp/dbg-gen.cfg "$sb_dir/$1.cfg" "installed file after the kill"
  e2e_assert_content /tmp/dbg_log_collect/dbg_version "$2" "recorded version after the kill"
  e2e_assert_content "$E2E_ORU_STATE" "$3"$'\n' "service after the kill"
}

# The next run, and what every case must end with: FILE installed, RECORDED
# the version, the service running on FILE.
expect_next_run_ends_on() { # FILE RECORDED [e2e_run options]
  local file=$sb_dir/$1.cfg recorded=$2
  shift 2
  : > "$E2E_LOG"
  e2e_run "$@"
  e2e_assert_ran
  e2e_assert_same_file /tmp/dbg-gen.cfg "$file" "installed file"
  e2e_assert_content /tmp/dbg_log_collect/dbg_version "$recorded" "recorded version"
  e2e_assert_content "$E2E_ORU_STATE" "running $(e2e_md5 "$file" | tr 'A-F' 'a-f')"$'\n' "service"
  e2e_assert_cleaned_up
}

# Killed while the service judged 2.0: the next run rolls back.
expect_next_run_rolls_back() { # [e2e_run options]
  expect_next_run_ends_on v1 1.0 "$@"
  e2e_assert_log "the previous run ended while judging version 2.0: rolled back"
  e2e_assert_content /tmp/dbg_log_collect/refused 2.0 "refused version"
  e2e_assert_absent /tmp/dbg_log_collect/trying "trying marker"
  e2e_assert_status rolled_back 1.0 null null
}

# A watchdog kills the run's process group: the process named in the pid
# file and every program it started.  The daemon's supervisor sees the run
# end and cleans up after it.
for step in md5sum oru-stop oru-start rm-pid; do
  e2e_case "the run's process group killed at $step"
  router_on_v1
  start_held_at "$step"
  held=$(cat "$E2E_GATES/$step.reached")
  kill -KILL -- "-$worker"
  wait "$launcher" || e2e_fail "the killed run did not end cleanly"
  ! kill -0 "$held" 2>/dev/null || e2e_fail "a program of the run outlived its group"
  e2e_assert_eq "$(e2e_detached_pid)" "$supervisor" "detached process"
  e2e_assert_eq "$(awk -v p="$supervisor" '$1 == "detached" && $2 == p { print $4 }' "$E2E_RESULT")" 1 \
    "exit status of the supervisor"
  e2e_assert_log "run ended by SIGKILL"
  e2e_assert_cleaned_up
  case $step in
    md5sum) expect_after_kill v1 1.0 "running $v1" ;;
    # Installed, but the restart gave no verdict: the marker names 2.0.
    oru-stop | oru-start) expect_after_kill v2 1.0 stopped ;;
    rm-pid) expect_after_kill v2 2.0 "running $v2" ;;
  esac
  case $step in
    md5sum)
      expect_next_run_ends_on v2 2.0
      e2e_assert_log "Get new version" ;;
    oru-stop | oru-start)
      e2e_assert_content /tmp/dbg_log_collect/trying 2.0 "trying marker after the kill"
      expect_next_run_rolls_back ;;
    rm-pid)
      expect_next_run_ends_on v2 2.0
      e2e_assert_log "We have had the newest version"
      e2e_assert_content "$E2E_ORU_CALLS" $'stop\nstart\n' "calls of /etc/init.d/oru (the killed run's)" ;;
  esac
done

# What an init system or an administrator sends to stop a daemon, to the
# daemon itself or to the run the pid file names: the whole group stops and
# everything is cleaned up, as at the run limit.
for stop in "TERM supervisor" "INT supervisor" "HUP worker" "TERM worker"; do
  read -r sig target <<<"$stop"
  e2e_case "SIG$sig to the $target while the restart is held"
  router_on_v1
  start_held_at oru-stop
  held=$(cat "$E2E_GATES/oru-stop.reached")
  kill "-$sig" "${!target}"
  wait "$launcher" || e2e_fail "the stopped run did not end cleanly"
  ! kill -0 "$held" 2>/dev/null || e2e_fail "a program of the run outlived SIG$sig"
  if [ "$target" = supervisor ]; then
    e2e_assert_log "run stopped by SIG$sig"
  else
    e2e_assert_log "run ended by SIG$sig"
  fi
  e2e_assert_status stopped 1.0 2.0 https
  e2e_assert_cleaned_up
  expect_after_kill v2 1.0 stopped
  expect_next_run_rolls_back
done

# Stopped during the splay, with another user's entry at the record
# directory's name: the status goes into a directory of root's, never
# through the link or into that user's directory.
mkdir -p /sandbox/victim
for planted in link directory; do
  e2e_case "SIGTERM during the splay, another user's $planted at /tmp/dbg_log_collect"
  e2e_reset
  e2e_config "dbg_ftp_path=$E2E_HTTPS_HOST" "dbg_splay=3600"
  printf victim > /sandbox/victim/status.json
  if [ "$planted" = link ]; then
    ln -s /sandbox/victim /tmp/dbg_log_collect
    chown -h 65534 /tmp/dbg_log_collect
  else
    mkdir -m 0777 /tmp/dbg_log_collect
    chown 65534 /tmp/dbg_log_collect
  fi
  before=$(stat -c %i /tmp/dbg_log_collect)
  KESTREL_SLEEP_REAL_FIRST=60 e2e_run &
  launcher=$!
  until grep -q '^sleep ' "$E2E_SLEEPS" 2>/dev/null; do sleep 0.05; done
  kill -TERM "$(cat "$pidfile")"
  wait "$launcher" || e2e_fail "the stopped run did not end cleanly"
  e2e_assert_log "run stopped by SIGTERM"
  e2e_assert_content /sandbox/victim/status.json victim "the file the link named"
  e2e_assert_eq "$(stat -c '%U %a %F' /tmp/dbg_log_collect)" "root 755 directory" "record directory"
  [ "$(stat -c %i /tmp/dbg_log_collect)" != "$before" ] || e2e_fail "the planted $planted was used"
  e2e_assert_status stopped null null null
  e2e_assert_eq "$(e2e_requests "$E2E_PREFIX$module/fileinfo.txt")" 0 "control file requests"
  e2e_assert_cleaned_up
done

e2e_case "only the daemon killed: its children live on"
router_on_v1
start_held_at oru-stop
kill -KILL "$supervisor" "$worker"
for _ in $(seq 1 100); do
  [ -e "/proc/$worker" ] || [ -e "/proc/$supervisor" ] || break
  sleep 0.05
done
held=$(cat "$E2E_GATES/oru-stop.reached")
kill -0 "$held" 2>/dev/null || e2e_fail "the restart's process died with the daemon"
e2e_assert_content "$pidfile" "$worker"$'\n' "pid file of the killed run"
# The next run takes the pid file over and rolls back while the old restart
# still hangs (its launcher waits on); that one ends later and must not undo
# it.
E2E_OUT=$sb_dir/next.out E2E_ERR=$sb_dir/next.err E2E_RESULT=$sb_dir/next.result expect_next_run_rolls_back --beside-a-run
e2e_assert_eq "$(e2e_log_count "stale pid file $pidfile (pid $worker, gone), taking it over")" 1 \
  "log lines on the pid file taken over"
e2e_release oru-stop
wait "$launcher" || e2e_fail "the killed run's launcher failed"
e2e_assert_content "$E2E_ORU_CALLS" $'stop\nstop\nstart\nstart\n' "calls of /etc/init.d/oru"
e2e_assert_content "$E2E_ORU_STATE" "running $v1"$'\n' "service"
e2e_assert_content /tmp/dbg_log_collect/dbg_version 1.0 "recorded version"

e2e_case "the version found newer waits in memory, not in a file another program may change"
router_on_v1
start_held_at md5sum
printf 9.9.9 > /tmp/dbg_version
e2e_release md5sum
wait "$launcher" || e2e_fail "the run failed"
e2e_assert_content /tmp/dbg_log_collect/dbg_version 2.0 "recorded version"
e2e_assert_content "$E2E_ORU_STATE" "running $v2"$'\n' "service"

echo "kill_run: all cases passed"

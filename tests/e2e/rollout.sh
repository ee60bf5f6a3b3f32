#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# A release reaches few routers and undoes itself: staged rollouts by the
# router's bucket, rollback when the service does not come up on a release,
# the splay before the first request, and the status file after each kind
# of end.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"
source "$e2e_here/signing.sh"

module=abc
dir=$E2E_PREFIX$module
www=$E2E_WWW$dir
serial=RT-AX1-00042

e2e_setup "$module"
e2e_config "dbg_ftp_path=$E2E_HTTPS_HOST"
e2e_start_server
signing_setup
for v in v1 v2 v3 broken; do e2e_make_payload "$sb_dir/$v.cfg" "$v"; done

# The bucket as an operator computes it, independently of the router.
bucket() { echo $(( 16#$(printf '%s' "$1/$2" | md5sum | cut -c1-8) % 100 )); }

# A hand-written release of VERSION with "rollout=VALUE" (none: no line).
release_at() { # VERSION PAYLOAD VALUE
  e2e_publish "$module" "$1" "$2"
  [ "$3" = none ] || printf '[Release]\nrollout=%s\n' "$3" >> "$www/fileinfo.txt"
}

payload_requests() { e2e_requests "$dir/dbg-gen.cfg"; }

# The reports the server logged: the User-Agent of each HEAD request.
reports() { e2e_logged | sed -n "s|^HEAD $dir/fileinfo.txt ||p"; }

# ------------------------------------------------------------------ rollouts
b=$(bucket "$serial" 2.0)
# SERIAL (- none) ROLLOUT RESULT: installed, or the percentage the waiting
# router logs; "0!" a value taken as 0 with a log line.
rows="$serial $b $b
$serial $((b + 1)) installed
- 99 99
- 100 installed
$serial 0 0
$serial none installed
$serial 1x 0!
$serial 101 0!
$serial '' 0!"
while read -r serial_row value expected; do
  value=${value//\'/}
  e2e_case "serial $serial_row, rollout=$value: $expected"
  e2e_reset
  [ "$serial_row" = - ] || printf '%s\r\n' "$serial_row" > /tmp/Seria_Number
  release_at 2.0 "$sb_dir/v2.cfg" "$value"
  e2e_run
  if [ "$expected" = installed ]; then
    e2e_assert_installed "$sb_dir/v2.cfg" 2.0
    e2e_assert_status installed 2.0 2.0 https
    e2e_assert_cleaned_up
    id=-
    [ "$serial_row" = - ] || id=$(e2e_serial_id "$serial_row")
    e2e_assert_eq "$(reports)" "$(e2e_agent abc "$id" 2.0 installed 2.0 -)" "report"
    continue
  fi
  e2e_assert_untouched
  e2e_assert_status waiting null 2.0 https
  [ "$expected" != "0!" ] ||
    e2e_assert_log "rollout value [$value] is not a percentage from 0 to 100, taken as 0"
  e2e_assert_log \
    "version 2.0 is rolling out to ${expected%!}%, this router's bucket is $([ "$serial_row" = - ] && echo 99 || echo "$b")"
  e2e_assert_eq "$(payload_requests)" 0 "payload requests"
  e2e_assert_eq "$(reports)" "" "report of a waiting router"
done <<<"$rows"

e2e_case "each release draws its own first group"
seen=$(for v in 2.1 2.2 2.3 2.4 2.5 2.6; do bucket "$serial" "$v"; done | sort -u | wc -l)
[ "$seen" -gt 1 ] || e2e_fail "one bucket for every version"

e2e_case "--update-rollout, signed and unsigned: the same release reaches more routers"
printf '%s\n' "$serial" > /tmp/Seria_Number
b3=$(bucket "$serial" 3.0)
for signed in no yes; do
  e2e_reset
  printf '%s\n' "$serial" > /tmp/Seria_Number
  sign=()
  if [ $signed = yes ]; then install_key; sign=(--sign "$SIGN_KEYS/release.sec"); else remove_key; fi
  rm -rf "$www"
  publish "${sign[@]}" --rollout "$b3" "$E2E_WWW" "$module" 3.0 "$sb_dir/v3.cfg" >/dev/null || e2e_fail "publish"
  e2e_run
  e2e_assert_status waiting null 3.0 https
  payload_before=$(md5sum < "$www/dbg-gen.cfg")
  publish "${sign[@]}" --rollout $((b3 + 1)) --update-rollout "$E2E_WWW" "$module" > "$sb_dir/publish.out" ||
    e2e_fail "--update-rollout"
  e2e_assert_contains "$sb_dir/publish.out" "rollout:  $((b3 + 1))% of the fleet eligible"
  e2e_assert_contains "$sb_dir/publish.out" "signed:   $signed"
  e2e_assert_eq "$(md5sum < "$www/dbg-gen.cfg")" "$payload_before" "payload after --update-rollout"
  e2e_run
  e2e_assert_installed "$sb_dir/v3.cfg" 3.0
  e2e_assert_status installed 3.0 3.0 https
done
e2e_assert_eq "$(publish --rollout 50 --update-rollout "$E2E_WWW" "$module" 2>&1 >/dev/null)" \
  "kestrel-publish: the release in $E2E_PREFIX$module is signed: --sign SECKEY signs it again" "unsigned update of a signed release"
remove_key

# ------------------------------------------------------------------ rollback
fail_on() { e2e_md5 "$1" | tr 'A-F' 'a-f' > "$E2E_ORU_FAIL"; }

# Before the broken release: BEFORE is what the router holds, "good" (v1
# installed, recorded and kept as good), "file" (v1 installed, nothing
# recorded) or "none"; AFTER is the file the rollback leaves.
for row in "good v1" "file v1" "none -"; do
  read -r before after <<<"$row"
  e2e_case "the service does not start on a release, router with $before before it: rolled back"
  e2e_reset
  if [ "$before" = good ]; then
    release_at 1.0 "$sb_dir/v1.cfg" none
    e2e_run
    e2e_assert_installed "$sb_dir/v1.cfg" 1.0
    : > "$E2E_ORU_CALLS"
  elif [ "$before" = file ]; then
    cp "$sb_dir/v1.cfg" /tmp/dbg-gen.cfg
  fi
  release_at 1.1 "$sb_dir/broken.cfg" none
  fail_on "$sb_dir/broken.cfg"
  e2e_run
  e2e_assert_ran
  e2e_assert_log "version 1.1 does not start, back to the previous configuration"
  if [ "$after" = - ]; then
    e2e_assert_absent /tmp/dbg-gen.cfg "installed file after the rollback"
  else
    e2e_assert_same_file /tmp/dbg-gen.cfg "$sb_dir/$after.cfg" "installed file after the rollback"
  fi
  e2e_assert_content "$E2E_ORU_CALLS" $'stop\nstart\nstop\nstart\n' "calls of /etc/init.d/oru"
  e2e_assert_content /tmp/dbg_log_collect/refused 1.1 "refused version"
  e2e_assert_eq "$(reports | tail -n 1)" \
    "$(e2e_agent abc - "$([ "$before" = good ] && echo 1.0 || echo -)" rolled_back 1.1 1.1)" "report"
  if [ "$before" = good ]; then
    e2e_assert_status rolled_back 1.0 1.1 https
    e2e_assert_same_file /tmp/dbg_log_collect/dbg-gen.cfg.good "$sb_dir/v1.cfg" "good file kept"
  else
    e2e_assert_status rolled_back null 1.1 https
  fi
  e2e_assert_cleaned_up
done

e2e_case "the refused version is skipped, a newer one installs"
: > "$E2E_ORU_CALLS"
: > "$(sb_nginx_log "$E2E_SERVER")"
e2e_run
e2e_assert_log "version 1.1 was refused by the service, waiting for a newer one"
e2e_assert_eq "$(payload_requests)" 0 "payload requests"
e2e_assert_content "$E2E_ORU_CALLS" "" "calls of /etc/init.d/oru"
e2e_assert_status refused null 1.1 https
e2e_assert_eq "$(reports)" "$(e2e_agent abc - - refused 1.1 1.1)" "report"
release_at 1.2 "$sb_dir/v2.cfg" none
e2e_run
e2e_assert_installed "$sb_dir/v2.cfg" 1.2
e2e_assert_same_file /tmp/dbg_log_collect/dbg-gen.cfg.good "$sb_dir/v2.cfg" "good file"

e2e_case "a run killed during the rollback: the next one ends on the good file, the version refused"
release_at 1.3 "$sb_dir/broken.cfg" none
fail_on "$sb_dir/broken.cfg"
rm -f /tmp/dbg_log_collect/refused
: > "$E2E_ORU_CALLS"
e2e_arm oru-fail
e2e_run &
launcher=$!
e2e_reached oru-fail >/dev/null
e2e_arm oru-stop
e2e_release oru-fail
e2e_reached oru-stop >/dev/null
kill -KILL -- "-$(cat /var/run/kestreld.pid)"
wait "$launcher" || e2e_fail "the killed run did not end cleanly"
e2e_assert_same_file /tmp/dbg-gen.cfg "$sb_dir/v2.cfg" "installed file after the kill"
e2e_assert_absent /tmp/dbg_log_collect/refused "refused version after the kill"
e2e_assert_status stopped 1.2 1.3 https
e2e_run
e2e_assert_same_file /tmp/dbg-gen.cfg "$sb_dir/v2.cfg" "installed file"
e2e_assert_content /tmp/dbg_log_collect/dbg_version 1.2 "recorded version"
e2e_assert_content /tmp/dbg_log_collect/refused 1.3 "refused version"
e2e_assert_log "the previous run ended while judging version 1.3: rolled back"
e2e_assert_status rolled_back 1.2 null null

e2e_case "the build's health check fails after a good restart: rolled back"
release_at 1.4 "$sb_dir/v3.cfg" none
touch /sandbox/unhealthy
KESTRELD=$KESTREL_SHORT_LIMIT_DAEMON e2e_run
e2e_assert_status rolled_back 1.2 1.4 https
e2e_assert_same_file /tmp/dbg-gen.cfg "$sb_dir/v2.cfg" "installed file"
rm /sandbox/unhealthy /tmp/dbg_log_collect/refused
KESTRELD=$KESTREL_SHORT_LIMIT_DAEMON e2e_run
e2e_assert_status installed 1.4 1.4 https

# The verdict always comes.  The short-limit build's health check may take
# 2 s, its restart longer than its run limit of 10 s.
short_run() { E2E_TIMEOUT=60 KESTRELD=$KESTREL_SHORT_LIMIT_DAEMON e2e_run; }

e2e_case "the health check hangs: stopped at its time, rolled back, refused, not retried"
release_at 1.5 "$sb_dir/v1.cfg" none
touch /sandbox/hang
short_run
# Once for the new version, once on the way back (the check still hangs).
e2e_assert_log "the health check took over 2 seconds, stopped" 2
e2e_assert_status rolled_back 1.4 1.5 https
e2e_assert_same_file /tmp/dbg-gen.cfg "$sb_dir/v3.cfg" "installed file"
e2e_assert_content /tmp/dbg_log_collect/refused 1.5 "refused version"
! pgrep -f "sleep 600" >/dev/null || e2e_fail "the hanging health check outlived its limit"
rm /sandbox/hang
: > "$(sb_nginx_log "$E2E_SERVER")"
short_run
e2e_assert_status refused 1.4 1.5 https
e2e_assert_eq "$(payload_requests)" 0 "payload requests"

e2e_case "the run limit falls while the restart hangs: rolled back before the run stops"
release_at 1.6 "$sb_dir/v1.cfg" none
: > "$E2E_ORU_CALLS"
# Only the new version's stop hangs (20 s, past the limit), not the rollback's.
echo 20 > "$E2E_ORU_DELAY"
short_run &
launcher=$!
until pgrep -x sleep >/dev/null; do sleep 0.1; done
: > "$E2E_ORU_DELAY"
wait "$launcher" || e2e_fail "the run did not end cleanly"
e2e_assert_log "run stopped at its limit of 10 seconds while judging version 1.6: rolled back"
e2e_assert_status rolled_back 1.4 1.6 https
e2e_assert_same_file /tmp/dbg-gen.cfg "$sb_dir/v3.cfg" "installed file"
e2e_assert_content /tmp/dbg_log_collect/refused 1.6 "refused version"
e2e_assert_absent /tmp/dbg_log_collect/trying "trying marker"
e2e_assert_content "$E2E_ORU_CALLS" $'stop\nstop\nstart\n' "calls of /etc/init.d/oru"
e2e_assert_cleaned_up

e2e_case "nothing newer: the status says current"
release_at 1.4 "$sb_dir/v3.cfg" none
e2e_run
e2e_assert_status current 1.4 1.4 https

# ------------------------------------------------------------------ splay
# VALUE LARGEST: the one pause asked for before anything else, at most
# LARGEST seconds (- none, and a log line for a value that is no number).
for row in "30 30" "99999 3600" "0 -" "1.5 -" "-5 -" "99999x -"; do
  read -r value largest <<<"$row"
  e2e_case "dbg_splay=$value"
  e2e_reset
  e2e_config "dbg_ftp_path=$E2E_HTTPS_HOST" "dbg_splay=$value"
  e2e_run --sleeps-in-stderr
  e2e_assert_status installed 1.4 1.4 https
  first=$(head -n 1 "$E2E_ERR")
  if [ "$largest" = - ]; then
    e2e_assert_not_contains "$E2E_ERR" "sleep"
    [ "$value" = 0 ] || e2e_assert_log "dbg_splay [$value] is not a whole number of seconds, taken as 0"
  else
    [[ $first =~ ^sleep\ ([0-9]+)$ ]] || e2e_fail "the first thing the run did was [$first], not its pause"
    [ "${BASH_REMATCH[1]}" -le "$largest" ] || e2e_fail "paused ${BASH_REMATCH[1]} s, more than $largest"
  fi
done

e2e_case "a splay longer than the run limit: the run still fetches"
e2e_reset
e2e_config "dbg_ftp_path=$E2E_HTTPS_HOST" "dbg_splay=3600"
KESTREL_SLEEP_REAL_FIRST=12 short_run
e2e_assert_status installed 1.4 1.4 https

echo "rollout: all cases passed"

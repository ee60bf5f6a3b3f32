#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# What an HTTPS attempt accepts: curl must have succeeded, and the first line
# of the file must not be an error page ("File not found" at its start, "Bad
# Request" anywhere) nor empty.  A refused payload is fetched twice over
# HTTPS, then over FTP (no FTP server here), and nothing is installed.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

module=abc
dir=$E2E_PREFIX$module
url=https://$E2E_HTTPS_HOST$dir/dbg-gen.cfg

e2e_setup "$module"
e2e_config "dbg_ftp_path=$E2E_HTTPS_HOST"
e2e_start_server
e2e_make_payload "$sb_dir/installed.cfg" installed

# Publishes a payload holding TEXT (printf format) as version 2.0 and runs
# the daemon on a router that has version 1.0.
run_with_payload() { # TEXT
  e2e_reset
  cp "$sb_dir/installed.cfg" /tmp/dbg-gen.cfg
  mkdir -p /tmp/dbg_log_collect
  printf 1.0 > /tmp/dbg_log_collect/dbg_version
  # shellcheck disable=SC2059  # the text is a format on purpose
  printf "$1" > "$sb_dir/payload.cfg"
  e2e_publish "$module" 2.0 "$sb_dir/payload.cfg"
  e2e_run
  e2e_assert_ran
  e2e_assert_cleaned_up
}

expect_refused() {
  e2e_assert_eq "$(e2e_count "$E2E_ERR" "$dir/dbg-gen.cfg failed!")" 4 "failed payload attempts (HTTPS, then FTP)"
  e2e_assert_not_contains "$E2E_ERR" "Download file $url successfully!"
  e2e_assert_eq "$(e2e_requests "$dir/dbg-gen.cfg")" 2 "payload requests (two HTTPS attempts)"
  e2e_assert_eq "$(e2e_sleeps)" "60 60" "pauses"
  e2e_assert_same_file /tmp/dbg-gen.cfg "$sb_dir/installed.cfg" "installed file"
  e2e_assert_content /tmp/dbg_log_collect/dbg_version 1.0 "recorded version"
  e2e_assert_content "$E2E_ORU_CALLS" "" "calls of /etc/init.d/oru"
}

expect_installed() {
  e2e_assert_contains "$E2E_ERR" "Download file $url successfully!"
  e2e_assert_same_file /tmp/dbg-gen.cfg "$sb_dir/payload.cfg" "installed file"
  e2e_assert_content /tmp/dbg_log_collect/dbg_version 2.0 "recorded version"
  e2e_assert_content "$E2E_ORU_CALLS" $'stop\nstart\n' "calls of /etc/init.d/oru"
}

e2e_case "first line starting with File not found"
run_with_payload 'File not found: /dbg-gen.cfg\ncollect.interval=300\n'
expect_refused

e2e_case "File not found elsewhere on the first line"
run_with_payload '# File not found handling\ncollect.interval=300\n'
expect_installed

e2e_case "Bad Request anywhere on the first line"
run_with_payload '<html><title>400 Bad Request</title></html>\n'
expect_refused

e2e_case "Bad Request on a later line"
run_with_payload '# collector\n# Bad Request counter\n'
expect_installed

e2e_case "an empty payload"
run_with_payload ''
expect_refused

e2e_case "a payload starting with a line feed"
run_with_payload '\ncollect.interval=300\n'
expect_installed

e2e_case "curl gives up on a full /tmp: the part it wrote never counts"
e2e_reset
# /tmp gets room for 256 KiB more (shrunk in place: a checkout under /tmp
# stays mounted where it is).
mount -o remount,size=$(( $(df --output=used -k /tmp | tail -n 1) + 256 ))k /tmp
{ echo "# a large configuration"; for i in $(seq 1 40000); do echo "collect.rule.$i=kernel,wifi,wan"; done; } \
  > "$sb_dir/large.cfg"
e2e_publish "$module" 3.0 "$sb_dir/large.cfg"
e2e_run
e2e_assert_ran
# The part written passes every content check; only curl's exit status tells.
e2e_assert_log "curl exited with status 23 for $url" 2
e2e_assert_eq "$(e2e_count "$E2E_ERR" "$dir/dbg-gen.cfg failed!")" 4 "failed payload attempts (HTTPS, then FTP)"
e2e_assert_not_contains "$E2E_ERR" "Download file $url successfully!"
e2e_assert_untouched
mount -o remount,size=50% /tmp

echo "https_checks: all cases passed"

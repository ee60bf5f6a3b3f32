#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Update runs over HTTPS against a real nginx: a fresh install, the same
# version again, a newer version, and a payload whose MD5 does not match;
# what the server's access log shows of each run (User-Agent, report).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

module=abc
dir=$E2E_PREFIX$module
url=https://$E2E_HTTPS_HOST$dir

e2e_setup "$module"
e2e_config "dbg_ftp_path=$E2E_HTTPS_HOST"
# The report's HEAD fails: it must be asked once all the same (no retries).
sb_start_nginx "$E2E_SERVER" "$E2E_WWW" 'if ($request_method = HEAD) { return 503; }'
e2e_make_payload "$sb_dir/v1.cfg" v1
e2e_make_payload "$sb_dir/v2.cfg" v2
e2e_publish "$module" 1.0.12 "$sb_dir/v1.cfg"

e2e_case "fresh install"
e2e_reset
e2e_run
e2e_assert_ran
e2e_assert_same_file /tmp/dbg-gen.cfg "$sb_dir/v1.cfg" "installed payload"
e2e_assert_content "$E2E_ORU_CALLS" $'stop\nstart\n' "calls of /etc/init.d/oru"
e2e_assert_content /tmp/dbg_log_collect/dbg_version 1.0.12 "recorded version"
e2e_assert_cleaned_up
e2e_assert_pid_file_named_the_run
e2e_assert_eq "$(cat "$E2E_ORU_STATE")" "running $(e2e_md5 "$sb_dir/v1.cfg" | tr 'A-F' 'a-f')" "service"
e2e_assert_eq "$(e2e_console)" "Download file $url/fileinfo.txt successfully!
Download file $url/dbg-gen.cfg successfully!" "stderr"
e2e_assert_eq "$(e2e_sleeps)" "" "pauses"
e2e_assert_eq "$(e2e_requests "$dir/fileinfo.txt")" 1 "control file requests"
e2e_assert_eq "$(e2e_requests "$dir/dbg-gen.cfg")" 1 "payload requests"
e2e_assert_log "Get new version"
e2e_assert_contains "$E2E_LOG" "      ver =1.0.12"
e2e_assert_contains "$E2E_LOG" "      file=dbg-gen_V1.0.12"
e2e_assert_contains "$E2E_LOG" "      md5 =$(e2e_md5 "$sb_dir/v1.cfg")"
e2e_assert_contains "$E2E_LOG" "      size=$(stat -c %s "$sb_dir/v1.cfg")"
e2e_assert_count "$E2E_LOG" "---------------------------------------------" 2
e2e_assert_eq "$(e2e_logged)" "GET $dir/fileinfo.txt $(e2e_agent abc - - - - -)
GET $dir/dbg-gen.cfg $(e2e_agent abc - - - - -)
HEAD $dir/fileinfo.txt $(e2e_agent abc - 1.0.12 installed 1.0.12 -)" "what the server logged"

e2e_case "same version again"
: > "$E2E_ORU_CALLS"
: > "$(sb_nginx_log "$E2E_SERVER")"
: > "$E2E_LOG"
e2e_run
e2e_assert_ran
e2e_assert_log "We have had the newest version"
e2e_assert_eq "$(e2e_requests "$dir/fileinfo.txt")" 1 "control file requests"
e2e_assert_eq "$(e2e_requests "$dir/dbg-gen.cfg")" 0 "payload requests"
e2e_assert_content "$E2E_ORU_CALLS" "" "calls of /etc/init.d/oru"
e2e_assert_same_file /tmp/dbg-gen.cfg "$sb_dir/v1.cfg" "installed payload"
e2e_assert_content /tmp/dbg_log_collect/dbg_version 1.0.12 "recorded version"
e2e_assert_eq "$(e2e_console)" "Download file $url/fileinfo.txt successfully!" "stderr"
e2e_assert_cleaned_up
e2e_assert_eq "$(e2e_logged)" "GET $dir/fileinfo.txt $(e2e_agent abc - 1.0.12 installed 1.0.12 -)" \
  "what the server logged (nothing new: no report)"

e2e_case "an older version is not installed"
e2e_publish "$module" 1.0.9 "$sb_dir/v2.cfg"
: > "$(sb_nginx_log "$E2E_SERVER")"
e2e_run
e2e_assert_ran
e2e_assert_log "We have had the newest version" 2
e2e_assert_eq "$(e2e_requests "$dir/dbg-gen.cfg")" 0 "payload requests"
e2e_assert_same_file /tmp/dbg-gen.cfg "$sb_dir/v1.cfg" "installed payload"

e2e_case "a newer version replaces the installed one"
e2e_publish "$module" 1.1 "$sb_dir/v2.cfg"
e2e_run
e2e_assert_ran
e2e_assert_same_file /tmp/dbg-gen.cfg "$sb_dir/v2.cfg" "installed payload"
e2e_assert_content /tmp/dbg_log_collect/dbg_version 1.1 "recorded version"
e2e_assert_content "$E2E_ORU_CALLS" $'stop\nstart\n' "calls of /etc/init.d/oru"
e2e_assert_cleaned_up

e2e_case "wrong MD5: nothing installed, the version is retried"
e2e_reset
printf 'collect.interval=60\n' > /tmp/dbg-gen.cfg
cp /tmp/dbg-gen.cfg "$sb_dir/installed.cfg"
mkdir -p /tmp/dbg_log_collect
printf 1.0.12 > /tmp/dbg_log_collect/dbg_version
e2e_publish "$module" 1.2.0 "$sb_dir/v2.cfg" --md5 "$(e2e_md5 "$sb_dir/v1.cfg")"
e2e_run
e2e_assert_ran
e2e_assert_eq "$(e2e_requests "$dir/dbg-gen.cfg")" 1 "payload requests"
e2e_assert_same_file /tmp/dbg-gen.cfg "$sb_dir/installed.cfg" "installed payload after a bad digest"
e2e_assert_content "$E2E_ORU_CALLS" "" "calls of /etc/init.d/oru"
e2e_assert_content /tmp/dbg_log_collect/dbg_version 1.0.12 "recorded version after a bad digest"
e2e_assert_log "Get new version"
e2e_assert_cleaned_up

e2e_case "wrong MD5 fixed on the server: the next run installs"
e2e_publish "$module" 1.2.0 "$sb_dir/v2.cfg"
: > "$E2E_LOG"
e2e_run
e2e_assert_ran
e2e_assert_log "Get new version"
e2e_assert_same_file /tmp/dbg-gen.cfg "$sb_dir/v2.cfg" "installed payload"
e2e_assert_content /tmp/dbg_log_collect/dbg_version 1.2.0 "recorded version"
e2e_assert_content "$E2E_ORU_CALLS" $'stop\nstart\n' "calls of /etc/init.d/oru"
e2e_assert_cleaned_up

e2e_case "a directory in the way of the payload is moved aside, the payload installed"
e2e_reset
mkdir -p /tmp/dbg-gen.cfg/in-the-way /tmp/dbg_log_collect
printf 1.2.0 > /tmp/dbg_log_collect/dbg_version
e2e_publish "$module" 1.3.0 "$sb_dir/v1.cfg"
e2e_run
e2e_assert_installed "$sb_dir/v1.cfg" 1.3.0
e2e_assert_log "/tmp/dbg-gen.cfg was not ours (owner 0), replaced"
e2e_assert_cleaned_up

e2e_case "the User-Agent: a serial number, values the router sends as '-', an upper-case module"
e2e_reset
serial='SN 7;(x)'
printf '%s\r\n' "$serial" > /tmp/Seria_Number
e2e_module ABC
mkdir -p /tmp/dbg_log_collect
printf '1.0 "x";(y)\\\303\251' > /tmp/dbg_log_collect/dbg_version
printf '{"time":1,"result":"rolled_back","installed":null,"published":"1.2 \\"q\\"","reason":"r"}' \
  > /tmp/dbg_log_collect/status.json
printf '0.9' > /tmp/dbg_log_collect/refused
e2e_publish "$module" 1.4 "$sb_dir/v1.cfg"
e2e_run
e2e_assert_installed "$sb_dir/v1.cfg" 1.4
id=$(e2e_serial_id "$serial")
e2e_assert_eq "$(e2e_logged)" "GET $dir/fileinfo.txt $(e2e_agent abc "$id" '1.0--x---y----' rolled_back '1.2---q--' 0.9)
GET $dir/dbg-gen.cfg $(e2e_agent abc "$id" '1.0--x---y----' rolled_back '1.2---q--' 0.9)
HEAD $dir/fileinfo.txt $(e2e_agent abc "$id" 1.4 installed 1.4 0.9)" "what the server logged"

e2e_case "dbg_report=0: a plain User-Agent and no report"
e2e_config "dbg_ftp_path=$E2E_HTTPS_HOST" dbg_report=0
e2e_publish "$module" 1.5 "$sb_dir/v2.cfg"
: > "$(sb_nginx_log "$E2E_SERVER")"
: > "$E2E_ORU_CALLS"
e2e_run
e2e_assert_installed "$sb_dir/v2.cfg" 1.5
e2e_assert_eq "$(e2e_logged)" "GET $dir/fileinfo.txt kestreld/$E2E_VERSION
GET $dir/dbg-gen.cfg kestreld/$E2E_VERSION" "what the server logged"
e2e_config "dbg_ftp_path=$E2E_HTTPS_HOST"

echo "update_https: all cases passed"

#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Where the files are fetched from: the module name lower-cased, the
# configured host and path prefix used verbatim, and hostile values in any of
# them never run by a shell.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

e2e_setup ABC-1
e2e_start_server
# A second server for a configured host: requests must land there only.
custom_host=updates.custom.test
custom_addr=127.0.0.4
custom_www=$sb_dir/www-custom
sb_hosts "$custom_addr" "$custom_host"
e2e_start_server "$custom_addr" "$custom_www"
e2e_make_payload "$sb_dir/payload.cfg"

e2e_case "module name is lower-cased"
e2e_reset
e2e_config "dbg_ftp_path=$E2E_HTTPS_HOST"
e2e_publish abc-1 3.0 "$sb_dir/payload.cfg"
e2e_run
e2e_assert_ran
e2e_assert_eq "$(e2e_requests "${E2E_PREFIX}abc-1/fileinfo.txt")" 1 "control file requests"
e2e_assert_eq "$(e2e_requests "${E2E_PREFIX}abc-1/dbg-gen.cfg")" 1 "payload requests"
e2e_assert_same_file /tmp/dbg-gen.cfg "$sb_dir/payload.cfg" "installed payload"

e2e_case "configured host and path prefix are used verbatim"
e2e_reset
e2e_module abc
e2e_config "dbg_ftp_path=$custom_host" "dbg_file_path=/custom/prefix-"
e2e_publish abc 3.1 "$sb_dir/payload.cfg" --dir /custom/prefix-abc
cp -r "$E2E_WWW/custom" "$custom_www/"
e2e_run
e2e_assert_ran
e2e_assert_eq "$(e2e_requests /custom/prefix-abc/fileinfo.txt "$custom_addr")" 1 "control file requests"
e2e_assert_eq "$(e2e_requests /custom/prefix-abc/dbg-gen.cfg "$custom_addr")" 1 "payload requests"
e2e_assert_eq "$(wc -l < "$(sb_nginx_log "$E2E_SERVER")")" 0 "requests to the default server"
e2e_assert_eq "$(e2e_console)" "Download file https://$custom_host/custom/prefix-abc/fileinfo.txt successfully!
Download file https://$custom_host/custom/prefix-abc/dbg-gen.cfg successfully!" "stderr"
e2e_assert_same_file /tmp/dbg-gen.cfg "$sb_dir/payload.cfg" "installed payload"
e2e_assert_eq "$(e2e_sleeps)" "" "pauses (no probe with a configured host)"
e2e_assert_absent /tmp/rae_ping_result "no probe with a configured host"

# Values that do not fit are refused, never cut: a cut one names another
# server, prefix or module.
nothing_fetched() {
  e2e_assert_ran
  e2e_assert_eq "$(cat "$(sb_nginx_log "$E2E_SERVER")" "$(sb_nginx_log "$custom_addr")" | wc -l)" 0 "requests"
  e2e_assert_eq "$(e2e_console)" "" "stderr"
  e2e_assert_eq "$(e2e_sleeps)" "" "pauses"
  e2e_assert_cleaned_up
}

e2e_case "a module name over 15 characters is refused"
e2e_reset
e2e_module abcdefghijklmnop
e2e_config "dbg_ftp_path=$E2E_HTTPS_HOST"
e2e_run
nothing_fetched
e2e_assert_log "module name too long: abcdefghijklmnop"

e2e_case "a module name of 15 characters is used"
e2e_reset
e2e_module abcdefghijklmno
e2e_run
e2e_assert_ran
e2e_assert_eq "$(e2e_requests "${E2E_PREFIX}abcdefghijklmno/fileinfo.txt")" 2 "control file requests"

e2e_case "a server host over 255 characters is refused"
e2e_reset
e2e_module abc
e2e_config "dbg_ftp_path=$(printf 'h%.0s' $(seq 1 252)).test"
e2e_run
nothing_fetched
e2e_assert_log "value of dbg_ftp_path too long"

e2e_case "a path prefix over 255 characters is refused"
e2e_reset
e2e_config "dbg_ftp_path=$E2E_HTTPS_HOST" "dbg_file_path=/$(printf 'p%.0s' $(seq 1 255))"
e2e_run
nothing_fetched
e2e_assert_log "value of dbg_file_path too long"

# Each value would create a marker file if it reached a shell unquoted, in
# double quotes or in naively added single quotes.
hostile() { # TAG
  printf '%s' "x\$(touch /sandbox/pwned-$1-a)\`touch /sandbox/pwned-$1-b\`';touch /sandbox/pwned-$1-c;'\";touch /sandbox/pwned-$1-d;\""
}

e2e_case "hostile server host"
e2e_reset
e2e_module abc
e2e_config "dbg_ftp_path=$(hostile host)"
e2e_run
e2e_assert_ran
e2e_assert_contains "$E2E_ERR" "Download file https://$(hostile host)${E2E_PREFIX}abc/fileinfo.txt failed!"
e2e_assert_no_markers

e2e_case "hostile path prefix"
e2e_reset
e2e_config "dbg_ftp_path=$E2E_HTTPS_HOST" "dbg_file_path=/$(hostile path)/"
e2e_run
e2e_assert_ran
e2e_assert_contains "$E2E_ERR" "Download file https://$E2E_HTTPS_HOST/$(hostile path)/abc/fileinfo.txt failed!"
e2e_assert_no_markers

# The module name holds at most 15 characters: one short attack per run.
for module in '$(touch /m1)' '`touch /m2`' "';touch /m3;'" '";touch /m4;"' ';touch /m5;'; do
  e2e_case "hostile module name $module"
  e2e_reset
  e2e_module "$module"
  e2e_config "dbg_ftp_path=$E2E_HTTPS_HOST"
  e2e_run
  e2e_assert_ran
  e2e_assert_contains "$E2E_ERR" "Download file https://$E2E_HTTPS_HOST$E2E_PREFIX$module/fileinfo.txt failed!"
  e2e_assert_no_markers
done

# A prefix of /q and K single quotes: each quote takes four characters once
# quoted, so K decides whether the curl command line (with the User-Agent of
# a router without serial number or status) fits its 1023 characters.
quotes() { printf "/q%s/" "$(printf "'%.0s" $(seq 1 "$1"))"; }

e2e_case "a prefix full of quotes is fetched when its command fits"
e2e_reset
e2e_module abc
e2e_config "dbg_ftp_path=$E2E_HTTPS_HOST" "dbg_file_path=$(quotes 185)"
e2e_publish abc 4.0 "$sb_dir/payload.cfg" --dir "$(quotes 185)abc"
e2e_run
e2e_assert_ran
e2e_assert_same_file /tmp/dbg-gen.cfg "$sb_dir/payload.cfg" "installed payload"
e2e_assert_eq "$(e2e_logged | cut -d' ' -f1 | tr '\n' ' ')" "GET GET HEAD " "requests"

# With 190 quotes only the trailing options of the command line no longer
# fit; a command cut there would still fetch the file.
e2e_case "a command line that does not fit is not run"
e2e_reset
e2e_config "dbg_ftp_path=$E2E_HTTPS_HOST" "dbg_file_path=$(quotes 190)"
e2e_publish abc 4.0 "$sb_dir/payload.cfg" --dir "$(quotes 190)abc"
e2e_run
e2e_assert_ran
e2e_assert_eq "$(wc -l < "$(sb_nginx_log "$E2E_SERVER")")" 0 "requests"
e2e_assert_eq "$(e2e_console | grep -c "^Download file https://$E2E_HTTPS_HOST/q'* *.*fileinfo.txt failed!$")" 2 "failed attempts"
e2e_assert_absent /tmp/dbg-gen.cfg "nothing installed"

echo "server_paths: all cases passed"

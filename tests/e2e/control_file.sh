#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Control files as the server may publish them: UTF-16 in either byte order,
# CR LF line ends, a first line without the section, no version at all.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

module=abc
dir=$E2E_PREFIX$module
url=https://$E2E_HTTPS_HOST$dir

e2e_setup "$module"
e2e_config "dbg_ftp_path=$E2E_HTTPS_HOST"
e2e_start_server
e2e_make_payload "$sb_dir/payload.cfg"

for encoding in utf16le utf16be crlf; do
  e2e_case "control file in $encoding is evaluated"
  e2e_reset
  e2e_publish "$module" 2.3.4 "$sb_dir/payload.cfg" --encoding "$encoding"
  e2e_run
  e2e_assert_ran
  e2e_assert_log "Get new version"
  # The values were read whole: no stray CR or zero byte in any of them.
  e2e_assert_content /tmp/dbg_log_collect/dbg_version 2.3.4 "recorded version"
  e2e_assert_contains "$E2E_LOG" "      md5 =$(e2e_md5 "$sb_dir/payload.cfg")"
  e2e_assert_same_file /tmp/dbg-gen.cfg "$sb_dir/payload.cfg" "installed payload"
  e2e_assert_content "$E2E_ORU_CALLS" $'stop\nstart\n' "calls of /etc/init.d/oru"
  e2e_assert_cleaned_up
done

e2e_case "first line without Major: both HTTPS attempts fail"
e2e_reset
mkdir -p "$E2E_WWW$dir"
{ echo "# published 2026-01-01"; e2e_control_text 2.3.4 "$sb_dir/payload.cfg"; } > "$E2E_WWW$dir/fileinfo.txt"
e2e_run
e2e_assert_ran
e2e_assert_eq "$(e2e_console | head -n 2)" "Download file $url/fileinfo.txt failed!
Download file $url/fileinfo.txt failed!" "first two console lines"
e2e_assert_eq "$(e2e_requests "$dir/fileinfo.txt")" 2 "control file requests (two HTTPS attempts)"
e2e_assert_eq "$(e2e_requests "$dir/dbg-gen.cfg")" 0 "payload requests"
e2e_assert_eq "$(e2e_sleeps | cut -d' ' -f1)" 60 "pause after the first attempt"
e2e_assert_not_contains "$E2E_ERR" "successfully"
e2e_assert_absent /tmp/dbg-gen.cfg "nothing installed"
e2e_assert_absent /tmp/dbg_log_collect/dbg_version "no version recorded"
e2e_assert_content "$E2E_ORU_CALLS" "" "calls of /etc/init.d/oru"
e2e_assert_cleaned_up

e2e_case "control file naming no version stops the run"
e2e_reset
printf '%s\n' "[Major1]" "file=/images/V1.0.12" "md5=$(e2e_md5 "$sb_dir/payload.cfg")" "size=1" "[Major2]" \
  > "$E2E_WWW$dir/fileinfo.txt"
e2e_run
e2e_assert_ran
e2e_assert_log "status ctlfile fail!"
e2e_assert_eq "$(e2e_requests "$dir/fileinfo.txt")" 1 "control file requests"
e2e_assert_eq "$(e2e_requests "$dir/dbg-gen.cfg")" 0 "payload requests"
e2e_assert_absent /tmp/dbg-gen.cfg "nothing installed"
e2e_assert_content "$E2E_ORU_CALLS" "" "calls of /etc/init.d/oru"
e2e_assert_cleaned_up

e2e_case "an error page instead of the control file"
e2e_reset
rm -f "$E2E_WWW$dir/fileinfo.txt"
e2e_run
e2e_assert_ran
e2e_assert_eq "$(e2e_console | head -n 2)" "Download file $url/fileinfo.txt failed!
Download file $url/fileinfo.txt failed!" "first two console lines"
e2e_assert_eq "$(e2e_requests "$dir/dbg-gen.cfg")" 0 "payload requests"
e2e_assert_absent /tmp/dbg-gen.cfg "nothing installed"
e2e_assert_cleaned_up

echo "control_file: all cases passed"

#!/usr/bin/env bash
# The whole run against an FTP server that never stops sending and names no
# size (HTTPS down): every FTP attempt stops at the download cap, fails and
# leaves nothing behind, and the run ends as after any failed fetch.
set -euo pipefail
source "$KESTREL_SOURCE_DIR/tests/e2e/e2e_lib.sh"
source "$KESTREL_SOURCE_DIR/tests/ftp/servers.sh"

module=abc
cap=65536   # the control file's
e2e_setup "$module"
sb_hosts 127.0.0.3 flood.invalid   # nothing listens there on 443
e2e_config oru_log=1 dbg_ftp_path=flood.invalid oru_ftp_ip=127.0.0.43
mkdir -p "$ftp_dir"
ftp_start_scripted 127.0.0.43:endless_nosize

e2e_case "endless data without SIZE: each attempt stops at the cap"
e2e_reset
E2E_TIMEOUT=120 e2e_run
e2e_assert_ran
echo "run took ${E2E_SECONDS}s"
awk -v t="$E2E_SECONDS" 'BEGIN { exit !(t < 60) }' || e2e_fail "the run took ${E2E_SECONDS}s"
attempts=$(e2e_count "$E2E_ERR" "Download file ftp://flood.invalid")
[ "$attempts" -ge 2 ] || e2e_fail "only $attempts FTP attempts"
e2e_assert_count "$E2E_ERR" "Download file ftp://flood.invalid$E2E_PREFIX$module/fileinfo.txt failed!" 2
e2e_assert_not_contains "$E2E_ERR" "successfully"
[ "$(e2e_log_count dump_data "more than $cap bytes: transfer stopped")" -eq "$attempts" ] ||
  e2e_fail "not every FTP attempt stopped at the cap"
# Nothing of the flood is left in /tmp (RAM on the router).
big=$(find /tmp -type f -size +64k)
[ -z "$big" ] || e2e_fail "left in /tmp: $big"
e2e_assert_absent /tmp/dbg-gen.cfg "nothing installed"
e2e_assert_cleaned_up
echo "ftp_flood_run: all cases passed"

#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# A whole run ends at its time limit whatever its peers do: against servers
# that accept the connection and never answer, a daemon built with a short
# limit stops the run and the programs it started, cleans up as at a normal
# end and leaves the installed file and the recorded version alone.
# usage: KESTREL_SHORT_LIMIT_DAEMON=DAEMON run_limit.sh LIMIT_SECONDS
set -euo pipefail
KESTRELD=${KESTREL_SHORT_LIMIT_DAEMON:?the daemon built with a short limit}
limit=${1:?its limit in seconds}
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

module=abc
base=$E2E_HTTPS_HOST$E2E_PREFIX$module
accepted=$sb_dir/accepted
E2E_TIMEOUT=$((limit + 30))

e2e_setup "$module"
e2e_make_payload "$sb_dir/v1.cfg" v1

# Version 1.0 installed and recorded before each case.
router_on_v1() {
  e2e_reset
  cp "$sb_dir/v1.cfg" /tmp/dbg-gen.cfg
  mkdir -p /tmp/dbg_log_collect
  printf 1.0 > /tmp/dbg_log_collect/dbg_version
  : > "$accepted"
}

# Stopped at the limit (counted after a pause of PAUSE seconds that must not
# eat it), within a generous bound, and cleaned up.
expect_stopped_at_limit() { # PORT [PAUSE]
  local l=$((limit + ${2:-0}))
  e2e_assert_ran
  echo "   ended after $E2E_SECONDS s"
  awk -v s="$E2E_SECONDS" -v l="$l" 'BEGIN { exit !(s >= l && s < l + 15) }' \
    || e2e_fail "the run took $E2E_SECONDS s, limit $limit s after a pause of ${2:-0} s"
  e2e_assert_status stopped 1.0 null null
  e2e_assert_log "run stopped at its limit of $limit seconds"
  e2e_assert_contains "$accepted" "$E2E_SERVER:$1"
  e2e_assert_not_contains "$E2E_ERR" "successfully"
  e2e_assert_cleaned_up
  e2e_assert_same_file /tmp/dbg-gen.cfg "$sb_dir/v1.cfg" "installed file"
  e2e_assert_content /tmp/dbg_log_collect/dbg_version 1.0 "recorded version"
  e2e_assert_content "$E2E_ORU_CALLS" "" "calls of /etc/init.d/oru"
}

"$E2E_PYTHON" "$e2e_here/silent_listener.py" "$accepted" "$E2E_SERVER:443" "$E2E_SERVER:21" &
listener=$!
sb_wait_tcp "$E2E_SERVER" 443
sb_wait_tcp "$E2E_SERVER" 21

e2e_case "HTTPS server holds the connection: curl stopped at the limit"
router_on_v1
e2e_config "dbg_ftp_path=$E2E_HTTPS_HOST"
e2e_run
expect_stopped_at_limit 443
# curl would go on trying for 63 s: the launcher, which waits for every
# process of the run, returned at the limit, so curl was stopped with it.
! pgrep -x curl >/dev/null || e2e_fail "curl outlived the run"
e2e_assert_eq "$(e2e_console)" "" "stderr"

e2e_case "the splay before the first request does not eat the limit"
router_on_v1
e2e_config "dbg_ftp_path=$E2E_HTTPS_HOST" "dbg_splay=3600"
KESTREL_SLEEP_REAL_FIRST=4 e2e_run
expect_stopped_at_limit 443 4

e2e_case "FTP server holds the connection: the run stopped at the limit"
router_on_v1
# HTTPS is refused at once; the FTP server never greets.
e2e_config "dbg_ftp_path=$E2E_HTTPS_HOST" "oru_ftp_ip=$E2E_SERVER"
kill "$listener"
wait "$listener" 2>/dev/null || true
"$E2E_PYTHON" "$e2e_here/silent_listener.py" "$accepted" "$E2E_SERVER:21" &
sb_wait_tcp "$E2E_SERVER" 21
: > "$accepted"
e2e_run
expect_stopped_at_limit 21
e2e_assert_eq "$(e2e_console | grep -c "^Download file https://$base/fileinfo.txt failed!$")" 2 "failed HTTPS attempts"

echo "run_limit: all cases passed"

#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# With no server configured the run probes the ping target with the real
# ping before it turns to the default server, whatever the outcome.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

module=abc
url=https://$E2E_HTTPS_HOST$E2E_PREFIX$module
waiting="Cannot connect to server , will try 60s later!!"
[ "${#waiting}" -eq 47 ] || sb_fail "the waiting message should be 47 characters"

e2e_setup "$module"
e2e_config
e2e_start_server
e2e_make_payload "$sb_dir/payload.cfg"
e2e_publish "$module" 5.0 "$sb_dir/payload.cfg"

# Every case ends with the update from the default server.  The probe's
# output lives in the run's private directory and goes with it.
assert_updated() {
  e2e_assert_ran
  e2e_assert_same_file /tmp/dbg-gen.cfg "$sb_dir/payload.cfg" "installed payload"
  e2e_assert_content "$E2E_ORU_CALLS" $'stop\nstart\n' "calls of /etc/init.d/oru"
  e2e_assert_cleaned_up
}

e2e_case "ping target reachable"
e2e_reset
sb_hosts 127.0.0.3 "$E2E_PING_TARGET"
echo "nameserver 127.0.0.1" > /tmp/resolv.conf
e2e_run
assert_updated
e2e_assert_eq "$(e2e_console)" "Download file $url/fileinfo.txt successfully!
Download file $url/dbg-gen.cfg successfully!" "stderr"
# One probe: ping ran (its 5 s settling pause), and no 60 s wait followed.
e2e_assert_eq "$(e2e_sleeps)" "5" "pauses"
e2e_assert_eq "$(e2e_log_count "Cannot connect to $E2E_PING_TARGET")" 0 "probe failures logged"
e2e_assert_log "Invalid IP Address:$E2E_PING_TARGET"

e2e_case "ping target unreachable"
e2e_reset
sed -i "/ $E2E_PING_TARGET\$/d" /etc/hosts
echo "nameserver 127.0.0.1" > /tmp/resolv.conf
e2e_run
assert_updated
# Three waiting messages without line feeds, then the fetch messages.
e2e_assert_eq "$(e2e_console)" "$waiting$waiting${waiting}Download file $url/fileinfo.txt successfully!
Download file $url/dbg-gen.cfg successfully!" "stderr"
e2e_assert_eq "$(e2e_sleeps)" "5 60 5 60 5 60" "pauses"
e2e_assert_log "Cannot connect to $E2E_PING_TARGET" 3
e2e_assert_log "Invalid IP Address:$E2E_PING_TARGET" 3

e2e_case "no /tmp/resolv.conf: ping is not run"
e2e_reset
e2e_run
assert_updated
e2e_assert_eq "$(e2e_console)" "$waiting$waiting${waiting}Download file $url/fileinfo.txt successfully!
Download file $url/dbg-gen.cfg successfully!" "stderr"
# No 5 s settling pause: ping never ran.
e2e_assert_eq "$(e2e_sleeps)" "60 60 60" "pauses"
e2e_assert_eq "$(e2e_log_count "Cannot connect to $E2E_PING_TARGET")" 0 "probe failures logged"

echo "probe: all cases passed"

#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# The update server does not answer: both HTTPS attempts fail, one pause of
# 60 seconds between them, the run ends cleanly and installs nothing.
# Fallback attempts over other transports may follow the two HTTPS ones; this
# test does not depend on them.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

module=abc
url=https://$E2E_HTTPS_HOST$E2E_PREFIX$module/fileinfo.txt

e2e_setup "$module"
e2e_config "dbg_ftp_path=$E2E_HTTPS_HOST"
# No server is started: 127.0.0.2:443 refuses connections.

e2e_case "server down, nothing installed before"
e2e_reset
e2e_run --sleeps-in-stderr
e2e_assert_ran
# Messages and pauses in the order they happened.
e2e_assert_eq "$(e2e_console | head -n 3)" "Download file $url failed!
sleep 60
Download file $url failed!" "first attempts and the pause between them"
e2e_assert_not_contains "$E2E_ERR" "successfully"
e2e_assert_untouched
e2e_assert_status failed null null null

e2e_case "server down: an earlier download left in /tmp never counts"
e2e_reset
e2e_make_payload "$sb_dir/old.cfg" old
cp "$sb_dir/old.cfg" /tmp/dbg-gen.cfg
# Leftovers of interrupted earlier runs, as if the server had answered: at
# the fixed names older builds used, and in a killed run's private
# directory (removed), beside one of the same naming another user made (left
# alone).
leftovers=(/tmp/fileinfo.txt /tmp/dbg-gen.cfg.new /tmp/kestreld.killed/fileinfo.txt /tmp/kestreld.killed/dbg-gen.cfg
           /tmp/kestreld.others/fileinfo.txt)
mkdir -p /tmp/kestreld.killed /tmp/kestreld.others
chown nobody /tmp/kestreld.others
for f in "${leftovers[@]}"; do
  case $f in
    */fileinfo.txt) e2e_control_text 9.9.9 "$sb_dir/old.cfg" > "$f" ;;
    *) cp "$sb_dir/old.cfg" "$f" ;;
  esac
done
e2e_run --sleeps-in-stderr
e2e_assert_ran
e2e_assert_eq "$(e2e_console | head -n 3)" "Download file $url failed!
sleep 60
Download file $url failed!" "first attempts and the pause between them"
e2e_assert_not_contains "$E2E_ERR" "successfully"
e2e_assert_eq "$(e2e_log_count "Get new version")" 0 "stale control file evaluated"
e2e_assert_same_file /tmp/dbg-gen.cfg "$sb_dir/old.cfg" "installed payload"
e2e_assert_absent /tmp/dbg_log_collect/dbg_version "no version recorded"
e2e_assert_content "$E2E_ORU_CALLS" "" "calls of /etc/init.d/oru"
e2e_assert_absent /tmp/kestreld.killed "the killed run's directory"
e2e_assert_log "removed /tmp/kestreld.killed, left by an earlier run"
for f in /tmp/fileinfo.txt /tmp/dbg-gen.cfg.new /tmp/kestreld.others/fileinfo.txt; do
  e2e_assert_exists "$f" "$f is not the run's to remove"
done
rm -rf /tmp/fileinfo.txt /tmp/dbg-gen.cfg.new /tmp/kestreld.others
e2e_assert_cleaned_up

echo "server_down: all cases passed"

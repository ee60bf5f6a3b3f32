#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# The shipped build on the virtual ARM router, one case per boot (two for
# the power cut): the package's init script starts kestreld at boot, and the
# host checks what the router left: the installed file (or the refusal),
# the recorded version, the service's calls, the debug log and the console.
#
# usage: system_test.sh CASE
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/vrouter_lib.sh"
source "$KESTREL_SOURCE_DIR/tests/ftp/servers.sh"

# Steps taken on the router while the first run has the service stopped:
# the power goes, or cron starts kestreld again (the crontab entry's command).
power_off='poweroff -f'
second_start='sh -c "$(grep kestreld /etc/crontabs/root | cut -d" " -f6-)"; echo "second start: status $?"'

# case           | server | configuration (beside the package's)      | release | NTP | during restart | service calls   | pauses  | result
# (splay: the one pause is the package's dbg_splay, at most its value;
# expired: an hour ago; NTP: the router's NTP client and the lab's server)
cases="
https            | https  | dbg_ftp_path=$E2E_HTTPS_HOST              |         |     |                | stop start      | splay   | installed
ftp_fallback     | ftp    | dbg_splay=0                               |         |     |                | stop start      | 5 60 60 | installed
power_cut        | https  | dbg_ftp_path=$E2E_HTTPS_HOST dbg_splay=0  |         |     | power_off      | stop stop start |         | installed
already_running  | https  | dbg_ftp_path=$E2E_HTTPS_HOST dbg_splay=0  |         |     | second_start   | stop start      |         | installed
expired_no_ntp   | https  | dbg_ftp_path=$E2E_HTTPS_HOST dbg_splay=0  | expired |     |                | stop start      |         | installed
expired_ntp      | https  | dbg_ftp_path=$E2E_HTTPS_HOST dbg_splay=0  | expired | ntp |                |                 |         | refused
"
row=$(sed -n "s/ *| */|/g; s/ *\$//; /^$1|/p" <<<"$cases")
[ -n "$row" ] || sb_fail "no case $1"
IFS='|' read -r name server config release ntp during calls pauses result <<<"$row"
e2e_case "$name"

vr_setup
# shellcheck disable=SC2086  # no value or one KEY=VALUE
vr_configure oru_log=1 $config
e2e_make_payload "$sb_dir/payload.cfg" "for $VR_MODULE"
if [ "$server" = https ]; then
  root=$E2E_WWW base=https://$E2E_HTTPS_HOST$VR_DIR
  e2e_start_server "$VR_HOST"
else
  # Nothing listens on the HTTPS port: the run falls back to FTP.
  ftp_fixture_files
  ftp_start_vsftpd "$VR_HOST" YES
  root=$ftp_dir/anon base=ftp://$VR_FTP_HOST$VR_DIR
fi
vr_release "$root" 1.2.0 "$sb_dir/payload.cfg"
if [ "$release" = expired ]; then
  # Expired an hour ago by the host's clock, signed again as the publisher
  # signs.  Unless an NTP client has set the router's clock, the kernel
  # reports it unsynchronized and the expiry is not checked.
  control=$root$VR_DIR/fileinfo.txt
  expires=$(($(date +%s) - 3600))
  sed -i "/^\[Signatures\]\$/,\$d; s/^expires=.*/expires=$expires/" "$control"
  signify-openbsd -S -s "$VR_IMAGE/keys/release.sec" -m "$control" -x "$sb_dir/control.sig"
  { echo "[Signatures]"; cat "$sb_dir/control.sig"; } >> "$control"
fi
[ -z "$during" ] || printf '%s\n' "${!during}" > "$VR_LAB/during-restart"
boot=(vrouter.fast)
if [ "$ntp" = ntp ]; then
  # The router's real-time clock a day behind: the NTP client has to step it.
  VR_RTC=$(date -u -d '1 day ago' '+%Y-%m-%dT%H:%M:%S')
  vr_start_ntp
  boot+=("vrouter.ntp=$VR_HOST")
fi

booted=$(date +%s)
vr_boot "${boot[@]}"
vr_figures
if [ "$name" = power_cut ]; then
  # The power went while the service was stopped: nothing of the run was
  # left to finish, and /tmp is gone with it.
  e2e_assert_contains "$VR_LAB/console" "oru: stopped"
  e2e_assert_not_contains "$VR_LAB/console" "vrouter: update run over"
  e2e_assert_content "$VR_LAB/oru.calls" $'stop\n' "service calls before the power cut"
  mv "$VR_LAB/console" "$VR_LAB/console.before"
  rm "$VR_LAB/during-restart"
  vr_boot vrouter.fast
  echo "after the power cut: $(vr_figures)"
fi

console=$VR_LAB/console
e2e_assert_contains "$console" "Booting Linux on physical CPU"
e2e_assert_contains "$console" "procd: S99kestrel: starting /usr/sbin/kestreld"
e2e_assert_count "$console" "Download file $base/fileinfo.txt successfully!" 1
payload="dbg-gen.cfg.$(sha256sum "$sb_dir/payload.cfg" | cut -c1-16)"
e2e_assert_contains "$console" "vrouter: crontab: 0 */6 * * * /usr/sbin/kestreld"
e2e_assert_log "signatures of $VR_DIR/fileinfo.txt verified"
if [ "$result" = installed ]; then
  e2e_assert_count "$console" "Download file $base/$payload successfully!" 1
  digest=$(md5sum < "$sb_dir/payload.cfg" | cut -c1-32)
  e2e_assert_contains "$console" "oru: started on /tmp/dbg-gen.cfg $digest"
  e2e_assert_contains "$console" "vrouter: recorded version: 1.2.0"
  e2e_assert_same_file "$VR_LAB/out/dbg-gen.cfg" "$sb_dir/payload.cfg" "installed file"
  e2e_assert_content "$VR_LAB/out/dbg_version" 1.2.0 "recorded version"
  e2e_assert_contains "$VR_LAB/out/status.json" '"result":"installed","installed":"1.2.0","published":"1.2.0"'
  e2e_assert_content "$VR_LAB/oru.calls" "$(tr ' ' '\n' <<<"$calls")"$'\n' "service calls"
else
  # Refused before the payload: nothing fetched, installed or restarted.
  e2e_assert_count "$console" "$payload" 0
  e2e_assert_contains "$console" "vrouter: recorded version: none"
  e2e_assert_absent "$VR_LAB/out/dbg-gen.cfg" "an installed file"
  e2e_assert_absent "$VR_LAB/oru.calls" "a call of the service"
  e2e_assert_contains "$VR_LAB/out/status.json" "\"result\":\"$result\""
fi
# The first boot moved the key from its old path into the keys directory.
fp=$(sed -n 2p "$VR_IMAGE/keys/release.pub" | base64 -d | od -An -tx1 -j2 -N8 | tr -d ' \n' | sed 's/^0*//')
e2e_assert_same_file "$VR_FLASH/etc/kestrel/keys/$fp" "$VR_IMAGE/keys/release.pub" "key in the keys directory"
e2e_assert_absent "$VR_FLASH/etc/kestrel/update.pub" "the key at its old path"
if [ "$pauses" = splay ]; then
  splay=$(sed -n 's/^dbg_splay=//p' "$KESTREL_SOURCE_DIR/openwrt/kestrel/files/kestrel.config")
  [[ $(e2e_sleeps) =~ ^[0-9]+$ ]] && [ "$(e2e_sleeps)" -le "$splay" ] ||
    e2e_fail "pauses asked for: [$(e2e_sleeps)], not one splay of at most $splay s"
else
  e2e_assert_eq "$(e2e_sleeps)" "$pauses" "pauses asked for"
fi
case $name in
ftp_fallback)
  e2e_assert_count "$console" "Download file https://" 4   # two refused attempts per file
  grep -q "query\[A\] $VR_FTP_HOST from $VR_GUEST" "$sb_dir/dnsmasq.log" ||
    e2e_fail "the router's resolver did not ask dnsmasq for $VR_FTP_HOST"
  ;;
already_running)
  e2e_assert_log "ospreyd is already running!!!"
  e2e_assert_contains "$console" "second start: status 0"
  ;;
expired_no_ntp)
  "$E2E_PYTHON" -c 'import json,sys; r=json.load(open(sys.argv[1]))["reason"]; sys.exit(not r.endswith("; expiry not checked: clock not synchronized"))' \
    "$VR_LAB/out/status.json" || e2e_fail "status reason: $(cat "$VR_LAB/out/status.json")"
  ;;
expired_ntp)
  # The router's clock was set from the lab's server before the run, and
  # the kernel reported it synchronized.
  e2e_assert_contains "$console" "vrouter: clock ${VR_RTC%T*} "
  e2e_assert_contains "$console" "synchronized: no"
  synced=$(sed -n 's/^vrouter: clock .* (\([0-9]*\)), synchronized: yes at .*/\1/p' "$console")
  [ -n "$synced" ] || e2e_fail "the router's clock was not synchronized"
  [ "$synced" -ge "$((booted - 1))" ] && [ "$synced" -le "$(date +%s)" ] ||
    e2e_fail "the router's clock ($synced) is not the lab's (boot at $booted)"
  e2e_assert_contains "$VR_LAB/out/status.json" \
    "\"reason\":\"release expired at $(date -u -d "@$expires" '+%F %T') UTC: update refused\""
  ;;
esac
echo "vrouter $name: passed"

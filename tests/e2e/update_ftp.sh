#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# HTTPS is down and the update server offers only FTP: the daemon falls back
# to its own FTP client, resolving the host with its own resolver through the
# name servers of /tmp/resolv.conf (dnsmasq here), or connecting to oru_ftp_ip;
# over IPv4 and over IPv6.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"
source "$KESTREL_SOURCE_DIR/tests/ftp/servers.sh"

module=abc
ftp_addr=127.0.0.4
ftp_addr6=fd00::4
dns_addr=127.0.0.53
dns_addr6=fd00::53
ftp_default_host=$(e2e_cache_value KESTREL_FTP_HOST example.com)

e2e_setup "$module"
# The HTTPS host's address refuses connections: nginx is never started.
sb_hosts 127.0.0.3 "$E2E_PING_TARGET"
ftp_fixture_files
sb_ipv6 "$ftp_addr6" "$dns_addr6"
ftp_start_vsftpd "$ftp_addr" YES
ftp_start_vsftpd "$ftp_addr6" YES
/usr/sbin/dnsmasq --no-resolv --no-hosts --user=root --port=53 --bind-interfaces \
  --listen-address="$dns_addr" --pid-file="$sb_dir/dnsmasq.pid" --log-queries \
  --log-facility="$sb_dir/dnsmasq.log" --host-record="$ftp_default_host,$ftp_addr" \
  || sb_fail "dnsmasq did not start"
# The IPv6 name server knows the FTP host by its AAAA record only: it
# answers the A question without an error and without an address.
/usr/sbin/dnsmasq --no-resolv --no-hosts --user=root --port=53 --bind-interfaces \
  --listen-address="$dns_addr6" --pid-file="$sb_dir/dnsmasq6.pid" --log-queries \
  --log-facility="$sb_dir/dnsmasq6.log" --host-record="$ftp_default_host,$ftp_addr6" --local="/$ftp_default_host/" \
  || sb_fail "dnsmasq did not start on $dns_addr6"
E2E_WWW=$ftp_dir/anon   # the FTP server's anonymous root is what gets published

e2e_make_payload "$sb_dir/v2.cfg" v2
e2e_make_payload "$sb_dir/v3.cfg" v3

expect_ftp_update() { # HOST VERSION PAYLOAD PAUSES
  local base=ftp://$1$E2E_PREFIX$module
  e2e_assert_ran
  e2e_assert_contains "$E2E_ERR" "Download file $base/fileinfo.txt successfully!"
  e2e_assert_contains "$E2E_ERR" "Download file $base/dbg-gen.cfg successfully!"
  e2e_assert_count "$E2E_ERR" "Download file https://" 4   # two failed HTTPS attempts per file
  e2e_assert_not_contains "$E2E_ERR" "iconv error"
  # One pause after the first failed HTTPS attempt of each file, none after
  # FTP; a probe of the default server adds its 5-second settle.
  e2e_assert_eq "$(e2e_sleeps)" "$4" "pauses asked for"
  e2e_assert_same_file /tmp/dbg-gen.cfg "$3" "installed payload"
  e2e_assert_content /tmp/dbg_log_collect/dbg_version "$2" "recorded version"
  e2e_assert_content "$E2E_ORU_CALLS" "stop
start
" "calls of /etc/init.d/oru"
  e2e_assert_cleaned_up
}

e2e_case "default hosts: HTTPS down, FTP host resolved through /tmp/resolv.conf"
e2e_reset
printf 'search lan\nnameserver %s\n' "$dns_addr" > /tmp/resolv.conf
e2e_publish "$module" 2.0.1 "$sb_dir/v2.cfg"
e2e_run
expect_ftp_update "$ftp_default_host" 2.0.1 "$sb_dir/v2.cfg" "5 60 60"
grep -q "query\[A\] $ftp_default_host from" "$sb_dir/dnsmasq.log" || e2e_fail "dnsmasq was not asked for $ftp_default_host"
e2e_assert_contains "$E2E_LOG" "DNS-LOOKUP dns : $dns_addr"

e2e_case "only IPv6 name servers, and a server name with only an AAAA record"
e2e_reset
printf 'nameserver %s\n' "$dns_addr6" > /tmp/resolv.conf
e2e_publish "$module" 2.0.5 "$sb_dir/v2.cfg"
e2e_run
expect_ftp_update "$ftp_default_host" 2.0.5 "$sb_dir/v2.cfg" "5 60 60"
e2e_assert_contains "$sb_dir/dnsmasq6.log" "query[AAAA] $ftp_default_host from"
e2e_assert_contains "$E2E_LOG" "Host: $ftp_default_host, Inet: $ftp_addr6"

e2e_case "oru_ftp_ip: no lookup at all, the configured address is used"
e2e_reset
: > "$sb_dir/dnsmasq.log"
e2e_config oru_log=1 dbg_ftp_path=updates.invalid "oru_ftp_ip=$ftp_addr"
e2e_publish "$module" 2.0.2 "$sb_dir/v2.cfg"
e2e_run
expect_ftp_update updates.invalid 2.0.2 "$sb_dir/v2.cfg" "60 60"
e2e_assert_not_contains "$sb_dir/dnsmasq.log" "query[A]"
e2e_assert_contains "$E2E_LOG" "Host: updates.invalid, Inet: $ftp_addr"

e2e_case "an IPv6 server, bracketed in the configuration or not, bracketed in every URL"
# HOST_KEYS: the configuration of the row; the second also takes the address
# from oru_ftp_ip, so the host of the URL is only named.
for keys in "dbg_ftp_path=[$ftp_addr6]" "dbg_ftp_path=$ftp_addr6 oru_ftp_ip=$ftp_addr6"; do
  e2e_reset
  # shellcheck disable=SC2086  # the row's keys are words
  e2e_config oru_log=1 $keys
  e2e_publish "$module" 2.0.3 "$sb_dir/v2.cfg"
  e2e_run
  expect_ftp_update "[$ftp_addr6]" 2.0.3 "$sb_dir/v2.cfg" "60 60"
  e2e_assert_count "$E2E_ERR" "Download file https://[$ftp_addr6]$E2E_PREFIX$module/" 4
  e2e_assert_contains "$E2E_LOG" "Host: $ftp_addr6, Inet: $ftp_addr6"
done

e2e_case "UTF-16 control file over FTP is narrowed before it is read"
for enc in utf16le utf16be; do
  e2e_reset
  printf 'nameserver %s\n' "$dns_addr" > /tmp/resolv.conf
  e2e_config oru_log=1
  e2e_publish "$module" "3.0.$([ $enc = utf16le ] && echo 1 || echo 2)" "$sb_dir/v3.cfg" --encoding "$enc"
  e2e_run
  expect_ftp_update "$ftp_default_host" "3.0.$([ $enc = utf16le ] && echo 1 || echo 2)" "$sb_dir/v3.cfg" "5 60 60"
done

e2e_case "FTP payload with a wrong MD5 is not installed"
e2e_reset
printf 'nameserver %s\n' "$dns_addr" > /tmp/resolv.conf
cp "$sb_dir/v2.cfg" /tmp/dbg-gen.cfg
mkdir -p /tmp/dbg_log_collect && printf 3.0.2 > /tmp/dbg_log_collect/dbg_version
e2e_publish "$module" 3.1.0 "$sb_dir/v3.cfg" --md5 0123456789ABCDEF0123456789ABCDEF
e2e_run
e2e_assert_ran
e2e_assert_same_file /tmp/dbg-gen.cfg "$sb_dir/v2.cfg" "installed payload"
e2e_assert_content /tmp/dbg_log_collect/dbg_version 3.0.2 "recorded version"
e2e_assert_content "$E2E_ORU_CALLS" "" "calls of /etc/init.d/oru"
e2e_assert_cleaned_up

e2e_case "FTP server without the files: four failures, two pauses, nothing installed"
e2e_reset
printf 'nameserver %s\n' "$dns_addr" > /tmp/resolv.conf
rm -rf "${ftp_dir:?}/anon/sw-apps"
e2e_run
e2e_assert_ran
e2e_assert_count "$E2E_ERR" "Download file ftp://$ftp_default_host$E2E_PREFIX$module/fileinfo.txt failed!" 2
e2e_assert_eq "$(e2e_sleeps)" "5 60 60" "pauses asked for"
e2e_assert_absent /tmp/dbg-gen.cfg "nothing installed"
e2e_assert_cleaned_up

echo "update_ftp: all cases passed"

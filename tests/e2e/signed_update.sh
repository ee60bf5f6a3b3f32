#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Signed updates end to end: releases made by kestrel-publish, the router's
# usign played by signify-openbsd.  Without a key a run is today's run; with
# keys, every way a control file can lack enough good signatures, be bound
# elsewhere, replayed, stale or name another payload leaves the router as it
# was and says why in the log.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"
source "$e2e_here/signing.sh"
source "$KESTREL_SOURCE_DIR/tests/ftp/servers.sh"
E2E_STATE_DIR=$(e2e_cache_value KESTREL_STATE_DIR /etc/kestrel)

module=abc
dir=$E2E_PREFIX$module
www=$E2E_WWW$dir
url=https://$E2E_HTTPS_HOST$dir

e2e_setup "$module"
e2e_config "dbg_ftp_path=$E2E_HTTPS_HOST"
e2e_start_server
signing_setup
for v in 1 2 3; do e2e_make_payload "$sb_dir/v$v.cfg" "v$v"; done
fp_release=$(key_fingerprint "$SIGN_KEYS/release.pub")
fp_other=$(key_fingerprint "$SIGN_KEYS/other.pub")

release() { # VERSION PAYLOAD [kestrel-publish options]
  local version=$1 payload=$2
  shift 2
  publish "$@" "$E2E_WWW" "$module" "$version" "$payload" >/dev/null || e2e_fail "kestrel-publish $version"
}
digest_name() { echo "dbg-gen.cfg.$(sha256sum "$1" | cut -c1-16)"; }

# The paths the router asked the server for, in order.
requests() { sed -nE 's/.*"GET ([^ ]*) HTTP.*/\1/p' "$(sb_nginx_log "$E2E_SERVER")" | sed "s|^$dir/||" | tr '\n' ' '; }

# The run changed nothing on the router and logged WHY, the status's reason.
expect_refused() { # WHY
  grep -qF -- "$1" "$E2E_LOG" || tail -n 5 "$E2E_LOG" >&2
  e2e_assert_untouched
  e2e_assert_contains "$E2E_LOG" "$1"
  e2e_assert_contains /tmp/dbg_log_collect/status.json "\"result\":\"refused\""
  e2e_assert_contains /tmp/dbg_log_collect/status.json "\"reason\":\"$1"
}

# A fresh router (empty /tmp, state directory kept) runs once.
run_fresh() { e2e_reset; e2e_run; }

e2e_case "no key: today's run, the payload under its fixed name"
release 1.0.12 "$sb_dir/v1.cfg" --sign "$SIGN_KEYS/release.sec"
remove_key
run_fresh
e2e_assert_installed "$sb_dir/v1.cfg" 1.0.12
e2e_assert_eq "$(e2e_console)" "Download file $url/fileinfo.txt successfully!
Download file $url/dbg-gen.cfg successfully!" "stderr"
e2e_assert_eq "$(requests)" "fileinfo.txt dbg-gen.cfg " "requests"
e2e_assert_not_contains "$E2E_LOG" "signature"
e2e_assert_eq "$(e2e_tmp_entries)" "dbg-gen.cfg dbg_log_collect oru_log.txt " "files left in /tmp"

# A release signed by two keys on routers holding either, both or neither;
# KEYS held by the router, then what the run does.
release 1.1 "$sb_dir/v2.cfg" --sign "$SIGN_KEYS/release.sec" --sign "$SIGN_KEYS/other.sec"
while read -r keys outcome; do
  e2e_case "signed by release and other, the router holds [$keys]: $outcome"
  # shellcheck disable=SC2086  # a list of key names
  install_key ${keys//,/ }
  run_fresh
  if [ "$outcome" = installed ]; then
    e2e_assert_installed "$sb_dir/v2.cfg" 1.1
    e2e_assert_eq "$(requests)" "fileinfo.txt $(digest_name "$sb_dir/v2.cfg") " "requests"
    e2e_assert_contains "$E2E_LOG" "signatures of $dir/fileinfo.txt verified"
    e2e_assert_cleaned_up
  else
    expect_refused "$dir/fileinfo.txt is signed by 0 of this router's keys, 1 needed: update refused"
    e2e_assert_eq "$(requests)" "fileinfo.txt " "requests"
  fi
done <<<"release installed
other installed
release,other installed
spare refused"
install_key

# UTF-16 control files are verified as the router reads them: narrowed.
version=1.2
for encoding in utf-16le utf-16be; do
  e2e_case "signed $encoding release: installed"
  release "$version" "$sb_dir/v2.cfg" --sign "$SIGN_KEYS/release.sec" --encoding "$encoding"
  run_fresh
  e2e_assert_installed "$sb_dir/v2.cfg" "$version"
  version=1.3
done

# Control files a router with the release key refuses: WHY it says, then how
# the published control file is made so.
while IFS='|' read -r why edit; do
  e2e_case "refused: $why"
  release 1.4 "$sb_dir/v2.cfg" --force --sign "$SIGN_KEYS/release.sec" --sign "$SIGN_KEYS/other.sec"
  cp "$www/fileinfo.txt" "$sb_dir/both.txt"
  eval "$edit"
  eval "why=\"$why\""
  install_key release other
  rm -f "$E2E_STATE_DIR/highest_seq"  # rows edit seq by hand
  run_fresh
  expect_refused "$why"
done <<'ROWS'
control file /sw-apps/dbg_log_collect/abc/fileinfo.txt carries no signatures: update refused|resign "$www/fileinfo.txt"
control file /sw-apps/dbg_log_collect/abc/fileinfo.txt carries more than 8 signatures: update refused|resign "$www/fileinfo.txt" release release release release release other other other other
control file /sw-apps/dbg_log_collect/abc/fileinfo.txt has a malformed signature: update refused|echo "untrusted comment: x" >> "$www/fileinfo.txt"
bad signature by key $fp_release for /sw-apps/dbg_log_collect/abc/fileinfo.txt: update refused|sed -i 's/^rollout=.*//; s/^size=/size=1/' "$www/fileinfo.txt"
bad signature by key $fp_other for /sw-apps/dbg_log_collect/abc/fileinfo.txt: update refused|release 1.4.1 "$sb_dir/v3.cfg" --force --sign "$SIGN_KEYS/other.sec"; { sed '/^\[Signatures\]$/,$d' "$sb_dir/both.txt"; echo "[Signatures]"; sed -n '/^\[Signatures\]$/{n;p;n;p}' "$sb_dir/both.txt"; sed '1,/^\[Signatures\]$/d' "$www/fileinfo.txt"; } > "$sb_dir/mixed.txt"; mv "$sb_dir/mixed.txt" "$www/fileinfo.txt"
control file lacks seq, issued, sha256 or payload: update refused|sed -i '/^seq=/d' "$www/fileinfo.txt"; resign "$www/fileinfo.txt" release
payload name dbg-gen.cfg.0123456789abcdef is not $(digest_name "$sb_dir/v2.cfg"): update refused|sed -i 's/^payload=.*/payload=dbg-gen.cfg.0123456789abcdef/' "$www/fileinfo.txt"; resign "$www/fileinfo.txt" release
release expired at 1970-01-01 00:16:40 UTC: update refused|sed -i 's/^expires=.*/expires=1000/' "$www/fileinfo.txt"; resign "$www/fileinfo.txt" release
sha256 check failed, keeping the installed file|s=$(sha256sum "$sb_dir/v3.cfg" | cut -c1-64); sed -i "s/^sha256=.*/sha256=$s/; s/^payload=.*/payload=dbg-gen.cfg.${s:0:16}/" "$www/fileinfo.txt"; cp "$sb_dir/v2.cfg" "$www/dbg-gen.cfg.${s:0:16}"; resign "$www/fileinfo.txt" release
ROWS
# The last row: the MD5 matched, the payload was fetched by its digest name.
e2e_assert_eq "$(requests)" "fileinfo.txt dbg-gen.cfg.$(sha256sum "$sb_dir/v3.cfg" | cut -c1-16) " "requests"
e2e_assert_eq "$(e2e_logged | grep '^HEAD')" "HEAD $dir/fileinfo.txt $(e2e_agent abc - - refused 1.4 -)" "report of the refused run"
e2e_assert_not_contains "$E2E_LOG" "md5 check failed"

# Freshness: the same expired release installs where the clock cannot judge it.
while read -r clock issued_shift outcome; do
  e2e_case "expired release, clock $clock, issued $issued_shift s from now: $outcome"
  release 1.5 "$sb_dir/v2.cfg" --force --sign "$SIGN_KEYS/release.sec"
  sed -i "s/^issued=.*/issued=$(($(date +%s) + issued_shift))/; s/^expires=.*/expires=1000/" "$www/fileinfo.txt"
  resign "$www/fileinfo.txt" release
  rm -f "$E2E_STATE_DIR/highest_issued"
  e2e_reset
  E2E_CLOCK=$clock e2e_run
  if [ "$outcome" = refused ]; then
    expect_refused "release expired at 1970-01-01 00:16:40 UTC: update refused"
    e2e_assert_status refused null 1.5 https
  else
    e2e_assert_installed "$sb_dir/v2.cfg" 1.5
    e2e_assert_status installed 1.5 1.5 https
    "$E2E_PYTHON" -c 'import json,sys; r=json.load(open("/tmp/dbg_log_collect/status.json"))["reason"]; sys.exit(not r.endswith("; expiry not checked: clock not synchronized"))' ||
      e2e_fail "status reason: $(cat /tmp/dbg_log_collect/status.json)"
  fi
done <<<"synchronized -60 refused
unsynchronized -60 installed
synchronized 86400 installed"
rm "$E2E_STATE_DIR/highest_issued"  # a day ahead, from the last row

e2e_case "the halt replayed: a lower seq is refused, the same one taken again"
release 2.0 "$sb_dir/v3.cfg" --sign "$SIGN_KEYS/release.sec" --rollout 100
cp "$www/fileinfo.txt" "$sb_dir/before-halt.txt"
publish --sign "$SIGN_KEYS/release.sec" --rollout 0 --update-rollout "$E2E_WWW" "$module" >/dev/null
seq=$(sed -n 's/^seq=//p' "$www/fileinfo.txt")
run_fresh
e2e_assert_status waiting null 2.0 https
e2e_assert_content "$E2E_STATE_DIR/highest_seq" "$seq" "seq floor"
run_fresh
e2e_assert_status waiting null 2.0 https
cp "$sb_dir/before-halt.txt" "$www/fileinfo.txt"
run_fresh
expect_refused "seq $((seq - 1)) is lower than $seq, verified here before: update refused"

e2e_case "a seq floor that cannot be read fails closed"
release 2.1 "$sb_dir/v3.cfg" --sign "$SIGN_KEYS/release.sec"
echo "twelve" > "$E2E_STATE_DIR/highest_seq"
run_fresh
expect_refused "rollback floor unusable: $E2E_STATE_DIR/highest_seq is not a number: update refused"
echo "$seq" > "$E2E_STATE_DIR/highest_seq"
run_fresh
e2e_assert_installed "$sb_dir/v3.cfg" 2.1

# Signed with the release key, but published for another module, under
# another prefix (a test channel).
elsewhere=$sb_dir/elsewhere
for place in "xyz $E2E_PREFIX" "abc /test-channel/"; do
  read -r other prefix <<<"$place"
  e2e_case "a signed release of module $other under $prefix, served here: refused"
  rm -rf "$elsewhere" && mkdir -p "$elsewhere"
  publish --sign "$SIGN_KEYS/release.sec" --prefix "$prefix" "$elsewhere" "$other" 9.0 "$sb_dir/v3.cfg" >/dev/null
  sed -i "s/^seq=.*/seq=999/" "$elsewhere$prefix$other/fileinfo.txt"
  resign "$elsewhere$prefix$other/fileinfo.txt" release
  cp "$elsewhere$prefix$other"/* "$www/"
  run_fresh
  expect_refused "release published for module $other at $prefix$other/, not $module at $dir/: update refused"
done

e2e_case "after a reboot an older signed release is refused, the same one installs again"
release 2.2 "$sb_dir/v3.cfg" --sign "$SIGN_KEYS/release.sec" --force
run_fresh
e2e_assert_installed "$sb_dir/v3.cfg" 2.2
release 2.0.9 "$sb_dir/v2.cfg" --sign "$SIGN_KEYS/release.sec" --force
run_fresh
expect_refused "version 2.0.9 is older than 2.2, installed here before: update refused"
release 2.2 "$sb_dir/v3.cfg" --sign "$SIGN_KEYS/release.sec" --force
run_fresh
e2e_assert_installed "$sb_dir/v3.cfg" 2.2

# The floor fails closed, as the key does: nothing newer is fetched.
for floor in "is read-only" "is not root's alone"; do
  e2e_case "a rollback floor that $floor: a newer signed release refused before its payload"
  release 2.3 "$sb_dir/v2.cfg" --sign "$SIGN_KEYS/release.sec" --force
  e2e_reset
  if [ "$floor" = "is read-only" ]; then
    mount --bind "$E2E_STATE_DIR" "$E2E_STATE_DIR"
    mount -o remount,bind,ro "$E2E_STATE_DIR"
  else
    chmod 0775 "$E2E_STATE_DIR"
  fi
  e2e_run
  umount "$E2E_STATE_DIR" 2>/dev/null || chmod 0755 "$E2E_STATE_DIR"
  expect_refused "rollback floor unusable: $E2E_STATE_DIR $floor: update refused"
  e2e_assert_eq "$(requests)" "fileinfo.txt " "requests"
  e2e_assert_status refused null 2.3 https
done
release 2.2 "$sb_dir/v3.cfg" --sign "$SIGN_KEYS/release.sec" --force

# Anything in the keys directory that is not a key of root's, or the old key
# file alone, refuses every update before anything is fetched.
while IFS='|' read -r what setup why; do
  e2e_case "keys directory: $what"
  install_key
  eval "$setup"
  eval "why=\"$why\""
  run_fresh
  expect_refused "$why"
  e2e_assert_eq "$(requests)" "" "requests"
done <<'ROWS'
a link|ln -s "$SIGN_KEYS/other.pub" "$E2E_KEYS_DIR/$fp_other"|key $E2E_KEYS_DIR/$fp_other is not a regular file: update refused
not root's|chown 65534 "$E2E_KEYS_DIR/$fp_release"|key $E2E_KEYS_DIR/$fp_release is not root's: update refused
writable by others|chmod 666 "$E2E_KEYS_DIR/$fp_release"|key $E2E_KEYS_DIR/$fp_release is writable by others: update refused
empty|: > "$E2E_KEYS_DIR/$fp_release"|key $E2E_KEYS_DIR/$fp_release is not a public key: update refused
a secret key|cp "$SIGN_KEYS/release.sec" "$E2E_KEYS_DIR/$fp_release"|key $E2E_KEYS_DIR/$fp_release is not a public key: update refused
named by another key|mv "$E2E_KEYS_DIR/$fp_release" "$E2E_KEYS_DIR/$fp_other"|key $E2E_KEYS_DIR/$fp_other is not named by its fingerprint: update refused
the directory writable by others|chmod 777 "$E2E_KEYS_DIR"|keys directory $E2E_KEYS_DIR is not root's alone: update refused
the old key file alone|rm -rf "$E2E_KEYS_DIR"; cp "$SIGN_KEYS/release.pub" "$E2E_OLD_KEY"|no key in $E2E_KEYS_DIR, but $E2E_OLD_KEY is there: update refused
ROWS
install_key
# A name beginning with "." is not an entry of the directory.
e2e_case "keys directory: a dot entry is ignored"
: > "$E2E_KEYS_DIR/.new"
run_fresh
e2e_assert_installed "$sb_dir/v3.cfg" 2.2
rm "$E2E_KEYS_DIR/.new"

e2e_case "usign missing"
run_fresh_no_usign() { e2e_reset; PATH=$SIGN_PATH_NO_USIGN e2e_run; }
run_fresh_no_usign
expect_refused "usign not found, cannot verify $dir/fileinfo.txt: update refused"
e2e_assert_eq "$(e2e_console | grep -v '^Download file ')" "" "console beyond the fetches"

if [ -n "${KESTREL_SHORT_LIMIT_DAEMON:-}" ]; then
  # The daemon built to need two signatures: the same key twice counts once.
  n=0
  for signers in "release other" "release release" "release"; do
    e2e_case "two signatures needed, signed by [$signers]"
    n=$((n + 1))
    sign=()
    for k in $signers; do sign+=(--sign "$SIGN_KEYS/$k.sec"); done
    release "3.$n" "$sb_dir/v1.cfg" "${sign[@]}"
    install_key release other
    e2e_reset
    KESTRELD=$KESTREL_SHORT_LIMIT_DAEMON e2e_run
    if [ "$signers" = "release other" ]; then
      e2e_assert_installed "$sb_dir/v1.cfg" "3.$n"
    else
      expect_refused "$dir/fileinfo.txt is signed by 1 of this router's keys, 2 needed: update refused"
    fi
  done
fi

e2e_case "FTP fallback: the payload by its digest name, no report"
install_key
ftp_addr=127.0.0.4
ftp_fixture_files
ftp_start_vsftpd "$ftp_addr" YES
# An HTTPS server there that drops every request: a report would reach it.
sb_start_nginx "$ftp_addr" "$sb_dir/empty-www" "return 444;"
sb_hosts "$ftp_addr" ftp-only.test
e2e_config "dbg_ftp_path=ftp-only.test" "oru_ftp_ip=$ftp_addr"
publish --sign "$SIGN_KEYS/release.sec" --encoding utf-16le "$ftp_dir/anon" "$module" 4.0 "$sb_dir/v3.cfg" >/dev/null
rm -f "$E2E_STATE_DIR/highest_seq"  # another server, another tree's seq
run_fresh
e2e_assert_installed "$sb_dir/v3.cfg" 4.0
for f in fileinfo.txt "$(digest_name "$sb_dir/v3.cfg")"; do
  e2e_assert_contains "$E2E_ERR" "Download file ftp://ftp-only.test$dir/$f successfully!"
done
e2e_assert_cleaned_up
e2e_assert_eq "$(e2e_logged "$ftp_addr" | cut -d' ' -f1 | sort | uniq -c | tr -s ' ')" " 4 GET" "HTTPS requests before FTP (two attempts for each file, no report)"

echo "signed_update: all cases passed"

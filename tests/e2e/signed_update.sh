#!/usr/bin/env bash
# Signed updates end to end: releases made by kestrel-publish, the router's
# usign played by signify-openbsd.  Without a key a run is today's run; with
# one, every way a release can lack a good signature leaves the router as it
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

release() { # VERSION PAYLOAD [kestrel-publish options]
  local version=$1 payload=$2
  shift 2
  publish "$@" "$E2E_WWW" "$module" "$version" "$payload" >/dev/null || e2e_fail "kestrel-publish $version"
}

# The paths the router asked the server for, in order.
requests() { sed -nE 's/.*"GET ([^ ]*) HTTP.*/\1/p' "$(sb_nginx_log "$E2E_SERVER")" | sed "s|^$dir/||" | tr '\n' ' '; }

# The run changed nothing on the router and logged WHY.
expect_refused() { # WHY
  e2e_assert_untouched
  e2e_assert_contains "$E2E_LOG" "$1"
}

e2e_case "no key: today's run, no signature fetched"
release 1.0.12 "$sb_dir/v1.cfg" --sign "$SIGN_KEYS/release.sec"
remove_key
e2e_reset
e2e_run
e2e_assert_installed "$sb_dir/v1.cfg" 1.0.12
e2e_assert_eq "$(e2e_console)" "Download file $url/fileinfo.txt successfully!
Download file $url/dbg-gen.cfg successfully!" "stderr"
e2e_assert_eq "$(requests)" "fileinfo.txt dbg-gen.cfg " "requests"
e2e_assert_not_contains "$E2E_LOG" "signature"
e2e_assert_eq "$(e2e_tmp_entries)" "dbg-gen.cfg dbg_log_collect oru_log.txt " "files left in /tmp"

e2e_case "key installed, signed release: installed"
install_key
e2e_reset
e2e_run
e2e_assert_installed "$sb_dir/v1.cfg" 1.0.12
e2e_assert_eq "$(requests)" "fileinfo.txt fileinfo.txt.sig dbg-gen.cfg dbg-gen.cfg.sig " "requests"
e2e_assert_count "$E2E_ERR" "successfully!" 4
e2e_assert_contains "$E2E_LOG" "signature of $dir/fileinfo.txt verified"
e2e_assert_contains "$E2E_LOG" "signature of $dir/dbg-gen.cfg verified"
e2e_assert_cleaned_up

# UTF-16 control files are verified as published, before narrowing.
version=1.1
for encoding in utf-16le utf-16be; do
  e2e_case "key installed, signed $encoding release: installed"
  release "$version" "$sb_dir/v2.cfg" --sign "$SIGN_KEYS/release.sec" --encoding "$encoding"
  e2e_reset
  e2e_run
  e2e_assert_installed "$sb_dir/v2.cfg" "$version"
  e2e_assert_cleaned_up
  version=1.2
done

e2e_case "unsigned release: no signature, four attempts"
release 1.3 "$sb_dir/v2.cfg"
e2e_assert_absent "$www/fileinfo.txt.sig" "old signature left on the server"
e2e_reset
e2e_run
expect_refused "no signature for $dir/fileinfo.txt on the server: update refused"
e2e_assert_eq "$(requests)" "fileinfo.txt fileinfo.txt.sig fileinfo.txt.sig " "requests"
e2e_assert_count "$E2E_ERR" "/fileinfo.txt.sig failed!" 4
e2e_assert_eq "$(e2e_sleeps)" "60 60" "pauses"

e2e_case "signature made with another key"
release 1.4 "$sb_dir/v2.cfg" --sign "$SIGN_KEYS/other.sec"
e2e_reset
e2e_run
expect_refused "bad signature for $dir/fileinfo.txt: update refused"
e2e_assert_eq "$(requests)" "fileinfo.txt fileinfo.txt.sig " "requests"
e2e_assert_eq "$(e2e_logged | grep '^HEAD')" "HEAD $dir/fileinfo.txt $(e2e_agent abc - - refused - -)" "report"

e2e_case "control file changed after signing"
release 1.5 "$sb_dir/v2.cfg" --sign "$SIGN_KEYS/release.sec"
cp "$sb_dir/v3.cfg" "$www/dbg-gen.cfg"
sed -i "s/^md5=.*/md5=$(e2e_md5 "$sb_dir/v3.cfg")/" "$www/fileinfo.txt"
e2e_reset
e2e_run
expect_refused "bad signature for $dir/fileinfo.txt: update refused"
e2e_assert_eq "$(requests)" "fileinfo.txt fileinfo.txt.sig " "requests"

e2e_case "payload changed after signing: refused before the MD5 check"
release 1.6 "$sb_dir/v2.cfg" --sign "$SIGN_KEYS/release.sec"
printf 'upload.url=http://collector.invalid/\n' >> "$www/dbg-gen.cfg"
e2e_reset
e2e_run
expect_refused "bad signature for $dir/dbg-gen.cfg: update refused"
e2e_assert_contains "$E2E_LOG" "signature of $dir/fileinfo.txt verified"
e2e_assert_not_contains "$E2E_LOG" "md5 check failed"

e2e_case "payload signature missing; a stale one on the router does not count"
release 1.7 "$sb_dir/v2.cfg" --sign "$SIGN_KEYS/release.sec"
e2e_reset
mv "$www/dbg-gen.cfg.sig" /tmp/dbg-gen.cfg.sig
e2e_run
expect_refused "no signature for $dir/dbg-gen.cfg on the server: update refused"
e2e_assert_eq "$(requests)" "fileinfo.txt fileinfo.txt.sig dbg-gen.cfg dbg-gen.cfg.sig dbg-gen.cfg.sig " "requests"

e2e_case "usign missing"
release 1.8 "$sb_dir/v2.cfg" --sign "$SIGN_KEYS/release.sec"
e2e_reset
PATH=$SIGN_PATH_NO_USIGN e2e_run
expect_refused "usign not found, cannot verify $dir/fileinfo.txt: update refused"
e2e_assert_eq "$(e2e_console | grep -v '^Download file ')" "" "console beyond the fetches"

e2e_case "replayed older signed release"
cp -a "$www" "$sb_dir/old-release"    # 1.8, signed
release 2.0 "$sb_dir/v3.cfg" --sign "$SIGN_KEYS/release.sec"
cp -a "$www" "$sb_dir/new-release"
e2e_reset
e2e_run
e2e_assert_same_file /tmp/dbg-gen.cfg "$sb_dir/v3.cfg" "installed payload"
cp -a "$sb_dir/old-release/." "$www/"
: > "$E2E_ORU_CALLS"
: > "$E2E_LOG"
e2e_run
e2e_assert_ran
e2e_assert_log "We have had the newest version"
e2e_assert_same_file /tmp/dbg-gen.cfg "$sb_dir/v3.cfg" "installed payload"
e2e_assert_content /tmp/dbg_log_collect/dbg_version 2.0 "recorded version"
e2e_assert_content "$E2E_ORU_CALLS" "" "calls of /etc/init.d/oru"
e2e_assert_cleaned_up

e2e_case "the payload of another signed release"
cp -a "$sb_dir/new-release/fileinfo.txt" "$sb_dir/new-release/fileinfo.txt.sig" "$www/"
e2e_reset
e2e_run
expect_refused "md5 check failed"
e2e_assert_contains "$E2E_LOG" "signature of $dir/dbg-gen.cfg verified"

# Signed with the release key, but published for another module, under
# another prefix (a test channel), or by a publisher that named no place.
elsewhere=$sb_dir/elsewhere
for place in "xyz $E2E_PREFIX" "abc /test-channel/"; do
  read -r other prefix <<<"$place"
  e2e_case "a signed release of module $other under $prefix, served here: refused"
  rm -rf "$elsewhere" && mkdir -p "$elsewhere"
  publish --sign "$SIGN_KEYS/release.sec" --prefix "$prefix" "$elsewhere" "$other" 9.0 "$sb_dir/v3.cfg" >/dev/null
  cp "$elsewhere$prefix$other"/* "$www/"
  e2e_reset
  e2e_run
  expect_refused "release published for module $other at $prefix$other/, not $module at $dir/: update refused"
done
e2e_case "a signed control file that names no place: refused"
e2e_publish "$module" 9.0 "$sb_dir/v3.cfg"
for f in fileinfo.txt dbg-gen.cfg; do signify-openbsd -S -s "$SIGN_KEYS/release.sec" -m "$www/$f" -x "$www/$f.sig"; done
e2e_reset
e2e_run
expect_refused "control file names no release place: update refused"

e2e_case "then the router's own release installs"
release 2.1 "$sb_dir/v3.cfg" --sign "$SIGN_KEYS/release.sec" --force
e2e_reset
e2e_run
e2e_assert_installed "$sb_dir/v3.cfg" 2.1
e2e_assert_content "$E2E_STATE_DIR/highest_version" 2.1 "highest version kept"

e2e_case "after a reboot an older signed release is refused, the same one installs again"
release 2.0.9 "$sb_dir/v2.cfg" --sign "$SIGN_KEYS/release.sec" --force
e2e_reset   # the reboot: /tmp is empty, the state directory kept
e2e_run
expect_refused "version 2.0.9 is older than 2.1, installed here before: update refused"
release 2.1 "$sb_dir/v3.cfg" --sign "$SIGN_KEYS/release.sec" --force
e2e_reset
e2e_run
e2e_assert_installed "$sb_dir/v3.cfg" 2.1

# The floor fails closed, as the key does: nothing newer is fetched.
release 2.2 "$sb_dir/v2.cfg" --sign "$SIGN_KEYS/release.sec"
for floor in "is read-only" "is not root's alone"; do
  e2e_case "a rollback floor that $floor: a newer signed release refused before its payload"
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
  e2e_assert_eq "$(requests)" "fileinfo.txt fileinfo.txt.sig " "requests"
  e2e_assert_status refused null 2.2 https
done

for key in "a link to nothing" empty "not a public key"; do
  e2e_case "a signing key that is $key: every update refused, nothing fetched"
  remove_key
  case $key in
    "a link to nothing") ln -s "$E2E_SIGNING_KEY.gone" "$E2E_SIGNING_KEY" ;;
    empty) : > "$E2E_SIGNING_KEY" ;;
    *) cp "$SIGN_KEYS/release.sec" "$E2E_SIGNING_KEY" ;;
  esac
  e2e_reset
  e2e_run
  expect_refused "signing key $E2E_SIGNING_KEY is $key: update refused"
  e2e_assert_eq "$(requests)" "" "requests"
done
install_key

e2e_case "FTP fallback: signatures fetched on the same schedule, no report"
ftp_addr=127.0.0.4
ftp_fixture_files
ftp_start_vsftpd "$ftp_addr" YES
# An HTTPS server there that drops every request: a report would reach it.
sb_start_nginx "$ftp_addr" "$sb_dir/empty-www" "return 444;"
sb_hosts "$ftp_addr" ftp-only.test
e2e_config "dbg_ftp_path=ftp-only.test" "oru_ftp_ip=$ftp_addr"
publish --sign "$SIGN_KEYS/release.sec" --encoding utf-16le "$ftp_dir/anon" "$module" 3.0 "$sb_dir/v3.cfg" >/dev/null
e2e_reset
e2e_run
e2e_assert_installed "$sb_dir/v3.cfg" 3.0
for f in fileinfo.txt fileinfo.txt.sig dbg-gen.cfg dbg-gen.cfg.sig; do
  e2e_assert_contains "$E2E_ERR" "Download file ftp://ftp-only.test$dir/$f successfully!"
done
e2e_assert_not_contains "$E2E_LOG" "cannot keep"
e2e_assert_cleaned_up
e2e_assert_eq "$(e2e_logged "$ftp_addr" | cut -d' ' -f1 | sort | uniq -c | tr -s ' ')" " 8 GET" "HTTPS requests before FTP"

echo "signed_update: all cases passed"

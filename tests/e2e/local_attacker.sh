#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# An unprivileged local process (nobody) against a signed run: it plants a
# file, a directory or a link at every name under /tmp that runs of older
# builds used, and rewrites whatever it can while the run is held at its
# signature check.  The run installs exactly the published payload and
# version, as root's files, and changes nothing outside /tmp.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"
source "$e2e_here/signing.sh"

module=abc
victims=$sb_dir/victims

e2e_setup "$module"
e2e_config "dbg_ftp_path=$E2E_HTTPS_HOST"
e2e_start_server
signing_setup
signing_gate_usign
install_key
e2e_make_payload "$sb_dir/v1.cfg" v1
publish --sign "$SIGN_KEYS/release.sec" --encoding utf-16le "$E2E_WWW" "$module" 1.0.12 "$sb_dir/v1.cfg" >/dev/null \
  || e2e_fail "kestrel-publish"
mkdir -p "$victims"
echo "kept" > "$victims/outside"

as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@"; }

# What lies outside /tmp that a planted link could lead a root process to.
outside() { md5sum "$E2E_KEYS_DIR"/* "$E2E_CONFIG" "$victims/outside" /etc/passwd; }

# NAME KIND: link (to a file outside /tmp), file (forged content, writable
# by anyone), dir (nobody's, with forged content inside).
plants="fileinfo.txt file
fileinfo.published file
fileinfo.sig link
dbg-gen.cfg file
dbg-gen.cfg.new file
dbg-gen.cfg.sig link
dbg_md5 file
dbg_version file
dbg_log_collect dir
md5 link
usign_error link
curl_error link
xxx-2008 file
rae_ping_result dir
rae_ping_result_error link
oru_log.txt link"

forged_control=$(printf '[Major1]\nfile=dbg-gen_V999.0\nmd5=%s\n' "$(e2e_md5 /etc/passwd)")

e2e_case "names planted by nobody, rewritten while the run is held at its signature check"
e2e_reset
before=$(outside)
chmod 777 "$victims"
while read -r name kind; do
  case $kind in
    link) as_nobody ln -s "$victims/outside" "/tmp/$name" ;;
    file) as_nobody sh -c 'printf "%s\n" "$1" > "$2" && chmod 666 "$2"' _ "$forged_control" "/tmp/$name" ;;
    dir) as_nobody sh -c 'mkdir -m 777 "$1" && printf 999.0 > "$1/dbg_version"' _ "/tmp/$name" ;;
  esac
done <<<"$plants"
chmod 755 "$victims"

e2e_arm usign
e2e_run &
launcher=$!
for check in control; do
  e2e_reached usign >/dev/null
  # Whatever nobody can write under /tmp now, it rewrites; where a name is
  # free, it plants again.
  as_nobody sh -c '
    for f in /tmp/* /tmp/*/*; do
      [ -f "$f" ] && [ -w "$f" ] && printf "%s\n" "$1" > "$f"
    done
    printf 999.0 > /tmp/dbg_log_collect/dbg_version
    ln -s /etc/passwd /tmp/dbg-gen.cfg.new 2>/dev/null
    ls /tmp/kestreld.* >/dev/null 2>&1 && echo "a private directory is readable" > /tmp/leak
    exit 0' _ "$forged_control" 2>/dev/null
  e2e_release usign
done
wait "$launcher" || e2e_fail "the run failed"
e2e_read_result

e2e_assert_installed "$sb_dir/v1.cfg" 1.0.12
e2e_assert_absent /tmp/leak "nobody read a private directory"
e2e_assert_eq "$(stat -c '%n %U %a %F' /tmp/dbg-gen.cfg /tmp/dbg_log_collect /tmp/dbg_log_collect/dbg_version)" \
  "/tmp/dbg-gen.cfg root 644 regular file
/tmp/dbg_log_collect root 755 directory
/tmp/dbg_log_collect/dbg_version root 644 regular file" "what the run wrote at fixed names"
e2e_assert_eq "$(outside)" "$before" "files outside /tmp"
e2e_assert_log "/tmp/dbg_log_collect was not ours (owner 65534), moved aside"
e2e_assert_log "/tmp/dbg-gen.cfg was not ours (owner 65534), replaced"
e2e_assert_contains "$E2E_LOG" "/tmp/oru_log.txt was not ours (owner 65534), replaced"
e2e_assert_contains "$E2E_LOG" "signatures of $E2E_PREFIX$module/fileinfo.txt verified"

e2e_case "the next run trusts its own record and removes what it moved aside"
: > "$E2E_ORU_CALLS"
e2e_run
e2e_assert_ran
e2e_assert_log "We have had the newest version"
e2e_assert_content "$E2E_ORU_CALLS" "" "calls of /etc/init.d/oru"
e2e_assert_eq "$(find /tmp -maxdepth 1 -name 'kestreld.*' | wc -l)" 0 "private directories left"

echo "local_attacker: all cases passed"

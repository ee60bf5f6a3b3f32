#!/usr/bin/env bash
# kestrel-publish: the bytes it writes in each encoding, its signatures, what
# it refuses (leaving the server as it was), and the order in which the files
# appear under their final names.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"
source "$e2e_here/signing.sh"

signing_setup
root=$sb_dir/root
payload=$sb_dir/payload.cfg
e2e_make_payload "$payload" publish
md5=$(e2e_md5 "$payload")
size=$(stat -c %s "$payload")
out=$sb_dir/publish.out
err=$sb_dir/publish.err

# Runs kestrel-publish; sets rc.
run() { rc=0; publish "$@" >"$out" 2>"$err" || rc=$?; }

# Every file below ROOT with its digest: what "nothing changed" compares.
manifest() { (cd "$root" && find . -printf '%y %p\n' | sort && find . -type f -exec md5sum {} + | sort -k 2); }

# The control file as the router expects it, in ENCODING, for MODULE under
# PREFIX.
expected_control() { # VERSION ENCODING [MODULE PREFIX]
  local text
  text=$(printf '[Major1]\nfile=dbg-gen_V%s\nmd5=%s\nsize=%s\n[Release]\nmodule=%s\npath=%s%s/\n_' "$1" "$md5" "$size" \
    "${3:-rt-ax1}" "${4:-/sw-apps/dbg_log_collect/}" "${3:-rt-ax1}")
  text=${text%_}
  case $2 in
    utf-8) printf '%s' "$text" ;;
    utf-16le) printf '\377\376'; printf '%s' "$text" | iconv -f ASCII -t UTF-16LE ;;
    utf-16be) printf '\376\377'; printf '%s' "$text" | iconv -f ASCII -t UTF-16BE ;;
  esac
}

for encoding in utf-8 utf-16le utf-16be; do
  e2e_case "layout and bytes, $encoding"
  rm -rf "$root" && mkdir -p "$root"
  run --encoding "$encoding" "$root" RT-AX1 1.0.12 "$payload"
  e2e_assert_eq "$rc" 0 "exit status ($(cat "$err"))"
  d=$root/sw-apps/dbg_log_collect/rt-ax1
  e2e_assert_eq "$(cd "$root" && find . -type f | sort | tr '\n' ' ')" \
    "./sw-apps/dbg_log_collect/rt-ax1/dbg-gen.cfg ./sw-apps/dbg_log_collect/rt-ax1/fileinfo.txt " "files written"
  e2e_assert_same_file "$d/dbg-gen.cfg" "$payload" "published payload"
  cmp -s "$d/fileinfo.txt" <(expected_control 1.0.12 "$encoding") \
    || e2e_fail "control file bytes: $(xxd "$d/fileinfo.txt" | head -n 8)"
  e2e_assert_content "$out" "module:   rt-ax1
version:  1.0.12
md5:      $md5
size:     $size
encoding: $encoding
signed:   no
wrote:    /sw-apps/dbg_log_collect/rt-ax1/dbg-gen.cfg
wrote:    /sw-apps/dbg_log_collect/rt-ax1/fileinfo.txt
" "summary"
done

e2e_case "signed, with usign and without it; another prefix"
rm -rf "$root" && mkdir -p "$root"
run --prefix /updates/ --sign "$SIGN_KEYS/release.sec" "$root" abc 2.0 "$payload"
e2e_assert_eq "$rc" 0 "exit status ($(cat "$err"))"
d=$root/updates/abc
for f in dbg-gen.cfg fileinfo.txt; do
  signify-openbsd -V -q -p "$SIGN_KEYS/release.pub" -x "$d/$f.sig" -m "$d/$f" || e2e_fail "$f.sig does not verify"
done
e2e_assert_content "$out" "module:   abc
version:  2.0
md5:      $md5
size:     $size
encoding: utf-8
signed:   yes (usign)
wrote:    /updates/abc/dbg-gen.cfg
wrote:    /updates/abc/dbg-gen.cfg.sig
wrote:    /updates/abc/fileinfo.txt
wrote:    /updates/abc/fileinfo.txt.sig
" "summary"
PATH=$SIGN_PATH_NO_USIGN run --prefix /updates/ --sign "$SIGN_KEYS/other.sec" "$root" abc 2.1 "$payload"
e2e_assert_eq "$rc" 0 "exit status without usign ($(cat "$err"))"
e2e_assert_contains "$out" "signed:   yes (signify-openbsd)"
signify-openbsd -V -q -p "$SIGN_KEYS/other.pub" -x "$d/fileinfo.txt.sig" -m "$d/fileinfo.txt" \
  || e2e_fail "the signify-openbsd signature does not verify"

e2e_case "files appear under their final names only by rename, payload first"
events=$sb_dir/inotify.log
inotifywait -m -e create,close_write,moved_to --format '%e %f' "$d" >"$events" 2>"$sb_dir/inotify.err" &
watcher=$!
for _ in $(seq 1 200); do grep -q "Watches established" "$sb_dir/inotify.err" && break; sleep 0.05; done
grep -q "Watches established" "$sb_dir/inotify.err" || e2e_fail "inotifywait did not start"
run --prefix /updates/ --sign "$SIGN_KEYS/release.sec" "$root" abc 2.2 "$payload"
e2e_assert_eq "$rc" 0 "exit status ($(cat "$err"))"
sleep 0.2
kill "$watcher"
wait "$watcher" 2>/dev/null || true
finals='(dbg-gen\.cfg|dbg-gen\.cfg\.sig|fileinfo\.txt|fileinfo\.txt\.sig)'
e2e_assert_eq "$(grep -E "^MOVED_TO $finals$" "$events" | cut -d' ' -f2 | tr '\n' ' ')" \
  "dbg-gen.cfg dbg-gen.cfg.sig fileinfo.txt fileinfo.txt.sig " "renames into place"
grep -E "^(CREATE|CLOSE_WRITE,CLOSE) $finals$" "$events" && e2e_fail "a final name was written in place"
e2e_assert_eq "$(ls -A "$d" | tr '\n' ' ')" "dbg-gen.cfg dbg-gen.cfg.sig fileinfo.txt fileinfo.txt.sig " "files left"

e2e_case "unsigned over signed: the old signatures go"
run --prefix /updates/ "$root" abc 2.3 "$payload"
e2e_assert_eq "$rc" 0 "exit status ($(cat "$err"))"
e2e_assert_eq "$(ls -A "$d" | tr '\n' ' ')" "dbg-gen.cfg fileinfo.txt " "files left"
e2e_assert_contains "$out" "removed:  /updates/abc/fileinfo.txt.sig"

# Each refusal: status 1, one line saying why, nothing printed on stdout and
# nothing changed below ROOT.
refused() { # WHY ARGS...
  local why=$1 before
  shift
  before=$(manifest)
  run "$@"
  e2e_assert_eq "$rc" 1 "exit status of kestrel-publish $*"
  e2e_assert_eq "$(wc -l < "$err")" 1 "lines on stderr for $* ($(cat "$err"))"
  e2e_assert_contains "$err" "$why"
  e2e_assert_content "$out" "" "stdout of a refusal"
  e2e_assert_eq "$(manifest)" "$before" "files below ROOT after a refusal"
}

e2e_case "refused versions"
refused "is not newer than 2.3" --prefix /updates/ "$root" abc 2.3 "$payload"
refused "is not newer than 2.3" --prefix /updates/ "$root" abc 2.2.9 "$payload"
refused "is not newer than 2.3" --prefix /updates/ --encoding utf-16be "$root" abc 2-3-0 "$payload"
refused "at most 31" "$root" abc 1.2.3.4.5.6.7.8.9.10.11.12.13.14.15 "$payload"
refused "newer than no version at all" "$root" abc 0.0 "$payload"
refused "newer than no version at all" --force "$root" abc 0_0-0 "$payload"
for v in "1 2" 1/2 "1[2" $'1\n2' $'1\t2' 1.2a v1.2 1V2 1..2 1. .1 ""; do
  refused "VERSION" "$root" abc "$v" "$payload"
done
e2e_assert_absent "$root/sw-apps" "directories made for a refused release"
# A control file written by hand, in UTF-16 with a path in the file value,
# is read as the router reads it.
mkdir -p "$root/sw-apps/dbg_log_collect/hand"
{ printf '\377\376'; printf '[Major1]\r\nfile=/images/dbg-gen_V3.0.1\r\n' | iconv -f ASCII -t UTF-16LE; } \
  > "$root/sw-apps/dbg_log_collect/hand/fileinfo.txt"
refused "is not newer than 3.0.1" "$root" hand 3.0.0.9 "$payload"
run "$root" hand 3.0.2 "$payload"
e2e_assert_eq "$rc" 0 "exit status over a hand-written control file ($(cat "$err"))"
rm -rf "$root/sw-apps"

e2e_case "refused modules, payloads and keys"
refused "longer than the router's 15 characters" "$root" abcdefghijklmnop 1.0 "$payload"
refused "module name" "$root" a/b 1.0 "$payload"
refused "module name" "$root" .. 1.0 "$payload"
refused "cannot read PAYLOAD" "$root" abc 1.0 "$sb_dir/missing.cfg"
: > "$sb_dir/empty.cfg"
refused "empty" "$root" abc 1.0 "$sb_dir/empty.cfg"
refused "cannot read SECKEY" --sign "$SIGN_KEYS/missing.sec" "$root" abc 1.0 "$payload"
# Refused once its directories are made: they go again.
echo "not a key" > "$sb_dir/bad.sec"
refused "could not sign" --sign "$sb_dir/bad.sec" "$root" fresh 1.0 "$payload"
for prefix in /sw-apps/../../x/ "/a b/" "/rel#1/" /sw-apps //x/ /./ sw-apps/; do
  refused "--prefix $prefix" --prefix "$prefix" "$root" abc 1.0 "$payload"
done

e2e_case "--force republishes an older version"
run --force --prefix /updates/ "$root" abc 2.2.9 "$payload"
e2e_assert_eq "$rc" 0 "exit status ($(cat "$err"))"
cmp -s "$d/fileinfo.txt" <(expected_control 2.2.9 utf-8 abc /updates/) || e2e_fail "control file after --force"

e2e_case "files 0644 and directories 0755 whatever the umask"
rm -rf "$root" && mkdir -p "$root"
(umask 077 && publish --sign "$SIGN_KEYS/release.sec" --prefix /a/b/ "$root" abc 1.0 "$payload" >/dev/null) ||
  e2e_fail "kestrel-publish under umask 077"
e2e_assert_eq "$(find "$root" -mindepth 1 -printf '%y %m\n' | sort -u | tr '\n' ' ')" "d 755 f 644 " "modes"

e2e_case "two publishes into one tree at once: the second waits, then the newer release is whole"
e2e_gate_script
e2e_gate_commands
e2e_make_payload "$sb_dir/newer.cfg" newer
e2e_arm md5sum
publish --prefix /a/b/ "$root" abc 3.0 "$payload" >/dev/null &
first=$!
e2e_reached md5sum >/dev/null
publish --prefix /a/b/ "$root" abc 3.1 "$sb_dir/newer.cfg" >/dev/null &
second=$!
sleep 0.5
kill -0 "$second" 2>/dev/null || e2e_fail "the second publish did not wait for the first"
e2e_release md5sum
wait "$first" || e2e_fail "the first publish failed"
wait "$second" || e2e_fail "the second publish failed"
d=$root/a/b/abc
e2e_assert_same_file "$d/dbg-gen.cfg" "$sb_dir/newer.cfg" "published payload"
e2e_assert_contains "$d/fileinfo.txt" "file=dbg-gen_V3.1"
e2e_assert_contains "$d/fileinfo.txt" "md5=$(e2e_md5 "$sb_dir/newer.cfg")"

e2e_case "usage errors"
for args in "" "$root abc 1.0" "--bogus $root abc 1.0 $payload" "--encoding latin1 $root abc 1.0 $payload" \
            "$root abc 1.0 $payload extra" "$root abc 1.0 $payload --sign"; do
  # shellcheck disable=SC2086  # word lists on purpose
  run $args
  e2e_assert_eq "$rc" 2 "exit status of kestrel-publish $args"
  e2e_assert_contains "$err" "usage: kestrel-publish [--prefix PATH] [--encoding utf-8|utf-16le|utf-16be]"
done

echo "publish: all cases passed"

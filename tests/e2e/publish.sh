#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
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

sha=$(sha256sum "$payload" | cut -c1-64)
name=dbg-gen.cfg.${sha:0:16}

# The control file as the router expects it, in ENCODING, for MODULE under
# PREFIX, with the issued time the publish chose (FILE's) and an expiry 30
# days later.
expected_control() { # VERSION ENCODING FILE SEQ [MODULE PREFIX]
  local text issued
  issued=$(iconv -f "${2^^}" -t UTF-8 "$3" | sed -n 's/^issued=//p')
  text=$(printf '[Major1]\nfile=dbg-gen_V%s\nmd5=%s\nsize=%s\n[Release]\nmodule=%s\npath=%s%s/\nsha256=%s\npayload=%s\nseq=%s\nissued=%s\nexpires=%s\n_' \
    "$1" "$md5" "$size" "${5:-rt-ax1}" "${6:-/sw-apps/dbg_log_collect/}" "${5:-rt-ax1}" "$sha" "$name" "$4" "$issued" \
    "$((issued + 30 * 86400))")
  text=${text%_}
  case $2 in
    utf-8) printf '%s' "$text" ;;
    utf-16le) printf '\377\376'; printf '%s' "$text" | iconv -f ASCII -t UTF-16LE ;;
    utf-16be) printf '\376\377'; printf '%s' "$text" | iconv -f ASCII -t UTF-16BE ;;
  esac
}

# Each signature of a signed control file verifies with PUB over the text
# before "[Signatures]"; prints how many there are.
signatures_verify() { # CONTROL PUB...
  local control=$1 text=$sb_dir/signed.txt n=0 pub
  shift
  sed '/^\[Signatures\]$/,$d' "$control" > "$text"
  sed '1,/^\[Signatures\]$/d' "$control" | split -l 2 - "$sb_dir/sig."
  for pub in "$@"; do
    signify-openbsd -V -q -p "$pub" -x "$(ls "$sb_dir"/sig.* | sed -n "$((n + 1))p")" -m "$text" ||
      e2e_fail "signature $((n + 1)) does not verify with $pub"
    n=$((n + 1))
  done
  ls "$sb_dir"/sig.* | wc -l
  rm -f "$sb_dir"/sig.*
}

before=$(date +%s)
for encoding in utf-8 utf-16le utf-16be; do
  e2e_case "layout and bytes, $encoding"
  rm -rf "$root" && mkdir -p "$root"
  run --encoding "$encoding" "$root" RT-AX1 1.0.12 "$payload"
  e2e_assert_eq "$rc" 0 "exit status ($(cat "$err"))"
  d=$root/sw-apps/dbg_log_collect/rt-ax1
  e2e_assert_eq "$(cd "$root" && find . -type f | sort | tr '\n' ' ')" \
    "./sw-apps/dbg_log_collect/rt-ax1/dbg-gen.cfg ./sw-apps/dbg_log_collect/rt-ax1/$name ./sw-apps/dbg_log_collect/rt-ax1/fileinfo.txt " "files written"
  e2e_assert_same_file "$d/dbg-gen.cfg" "$payload" "published payload"
  e2e_assert_same_file "$d/$name" "$payload" "payload under its digest name"
  cmp -s "$d/fileinfo.txt" <(expected_control 1.0.12 "$encoding" "$d/fileinfo.txt" 1) \
    || e2e_fail "control file bytes: $(xxd "$d/fileinfo.txt" | head -n 16)"
  e2e_assert_content "$out" "module:   rt-ax1
version:  1.0.12
md5:      $md5
sha256:   $sha
size:     $size
seq:      1
encoding: $encoding
$(grep '^expires:  ' "$out")
signed:   no
wrote:    /sw-apps/dbg_log_collect/rt-ax1/$name
wrote:    /sw-apps/dbg_log_collect/rt-ax1/dbg-gen.cfg
wrote:    /sw-apps/dbg_log_collect/rt-ax1/fileinfo.txt
" "summary"
done
# The issued time is the publish's own.
issued=$(iconv -f UTF-16BE -t UTF-8 "$d/fileinfo.txt" | sed -n 's/^issued=//p')
[ "$issued" -ge "$before" ] && [ "$issued" -le "$(date +%s)" ] || e2e_fail "issued=$issued is not the time of the publish"
e2e_assert_contains "$out" "expires:  $(date -u -d "@$((issued + 30 * 86400))" '+%Y-%m-%d %H:%M:%S UTC')"

e2e_case "signed by two keys, with usign and without it; another prefix; seq raised by each publish"
rm -rf "$root" && mkdir -p "$root"
run --prefix /updates/ --sign "$SIGN_KEYS/release.sec" --sign "$SIGN_KEYS/other.sec" --expires 0 "$root" abc 2.0 "$payload"
e2e_assert_eq "$rc" 0 "exit status ($(cat "$err"))"
d=$root/updates/abc
e2e_assert_eq "$(signatures_verify "$d/fileinfo.txt" "$SIGN_KEYS/release.pub" "$SIGN_KEYS/other.pub")" 2 "signatures"
e2e_assert_not_contains "$d/fileinfo.txt" "expires="
e2e_assert_contains "$out" "signed:   yes (usign)
key:      $SIGN_KEYS/release.sec
key:      $SIGN_KEYS/other.sec"
e2e_assert_contains "$out" "expires:  never"
PATH=$SIGN_PATH_NO_USIGN run --prefix /updates/ --sign "$SIGN_KEYS/other.sec" "$root" abc 2.1 "$payload"
e2e_assert_eq "$rc" 0 "exit status without usign ($(cat "$err"))"
e2e_assert_contains "$out" "signed:   yes (signify-openbsd)"
e2e_assert_eq "$(signatures_verify "$d/fileinfo.txt" "$SIGN_KEYS/other.pub")" 1 "signatures"
e2e_assert_contains "$d/fileinfo.txt" "seq=2"

e2e_case "files appear under their final names only by rename, payloads first"
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
finals='(dbg-gen\.cfg(\.[0-9a-f]{16})?|fileinfo\.txt)'
e2e_assert_eq "$(grep -E "^MOVED_TO $finals$" "$events" | cut -d' ' -f2 | tr '\n' ' ')" \
  "$name dbg-gen.cfg fileinfo.txt " "renames into place"
grep -E "^(CREATE|CLOSE_WRITE,CLOSE) $finals$" "$events" && e2e_fail "a final name was written in place"
e2e_assert_eq "$(ls -A "$d" | tr '\n' ' ')" "dbg-gen.cfg $name fileinfo.txt " "files left"

e2e_case "the digest-named payloads of the three newest releases stay"
for v in 3 4 5 6; do
  e2e_make_payload "$sb_dir/p$v.cfg" "payload $v"
  run --prefix /updates/ --sign "$SIGN_KEYS/release.sec" "$root" abc 2.$v "$sb_dir/p$v.cfg"
  e2e_assert_eq "$rc" 0 "exit status ($(cat "$err"))"
done
names=$(for v in 4 5 6; do echo "dbg-gen.cfg.$(sha256sum "$sb_dir/p$v.cfg" | cut -c1-16)"; done | sort | tr '\n' ' ')
e2e_assert_eq "$(cd "$d" && ls dbg-gen.cfg.* | sort | tr '\n' ' ')" "$names" "payloads kept"
e2e_assert_contains "$out" "removed:  /updates/abc/dbg-gen.cfg.$(sha256sum "$sb_dir/p3.cfg" | cut -c1-16)"

e2e_case "--refresh and --update-rollout: seq raised, every other line kept, signed as before"
rm -rf "$root" && mkdir -p "$root"
run --encoding utf-16be --rollout 10 --sign "$SIGN_KEYS/release.sec" "$root" abc 1.0 "$payload"
d=$root/sw-apps/dbg_log_collect/abc
text() { iconv -f UTF-16BE -t UTF-8 "$d/fileinfo.txt" | sed '/^\[Signatures\]/,$d'; }
first=$(text)
payloads=$(cd "$d" && md5sum dbg-gen.cfg*)
run --refresh --expires 2 --sign "$SIGN_KEYS/other.sec" --sign "$SIGN_KEYS/release.sec" "$root" abc
e2e_assert_eq "$rc" 0 "exit status of --refresh ($(cat "$err"))"
issued=$(text | sed -n 's/^issued=//p')
e2e_assert_eq "$(text)" "$(sed "s/^seq=1$/seq=2/; s/^issued=.*/issued=$issued/; s/^expires=.*/expires=$((issued + 2 * 86400))/" <<<"$first")" "refreshed text"
iconv -f UTF-16 -t UTF-8 "$d/fileinfo.txt" > "$sb_dir/narrowed.txt"
e2e_assert_eq "$(signatures_verify "$sb_dir/narrowed.txt" "$SIGN_KEYS/other.pub" "$SIGN_KEYS/release.pub")" 2 "signatures"
run --rollout 50 --update-rollout --expires 0 --sign "$SIGN_KEYS/release.sec" "$root" abc
e2e_assert_eq "$rc" 0 "exit status of --update-rollout ($(cat "$err"))"
e2e_assert_eq "$(text | grep -E '^(rollout|seq|expires)=' | tr '\n' ' ')" "rollout=50 seq=3 " "changed lines"
e2e_assert_eq "$(cd "$d" && md5sum dbg-gen.cfg*)" "$payloads" "payloads"
e2e_assert_contains "$out" "wrote:    /sw-apps/dbg_log_collect/abc/fileinfo.txt"
e2e_assert_eq "$(grep -c '^wrote:' "$out")" 1 "files written"

e2e_case "--push: payloads first, the control file last; a failure half way names what was pushed"
mirror=$sb_dir/mirror
rm -rf "$mirror" && mkdir -p "$mirror/sw-apps/dbg_log_collect/abc"
e2e_make_payload "$sb_dir/p7.cfg" "payload 7"
n7=dbg-gen.cfg.$(sha256sum "$sb_dir/p7.cfg" | cut -c1-16)
run --unsigned --rollout 100 --push "cp {} $mirror/{} && echo {} >> $sb_dir/pushed" "$root" abc 1.1 "$sb_dir/p7.cfg"
e2e_assert_eq "$rc" 0 "exit status ($(cat "$err"))"
e2e_assert_content "$sb_dir/pushed" "sw-apps/dbg_log_collect/abc/$n7
sw-apps/dbg_log_collect/abc/dbg-gen.cfg
sw-apps/dbg_log_collect/abc/fileinfo.txt
" "pushes in order"
for f in "$n7" dbg-gen.cfg fileinfo.txt; do e2e_assert_same_file "$mirror/sw-apps/dbg_log_collect/abc/$f" "$d/$f" "$f pushed"; done
# The mirror's second name leads nowhere: cp fails there.
rm -rf "$mirror" && mkdir -p "$mirror/sw-apps/dbg_log_collect/abc"
ln -s /nonexistent/dir/file "$mirror/sw-apps/dbg_log_collect/abc/dbg-gen.cfg"
e2e_make_payload "$sb_dir/p8.cfg" "payload 8"
n8=dbg-gen.cfg.$(sha256sum "$sb_dir/p8.cfg" | cut -c1-16)
run --push "cp {} $mirror/{}" "$root" abc 1.2 "$sb_dir/p8.cfg"
e2e_assert_eq "$rc" 1 "exit status of a failed push"
e2e_assert_contains "$err" "kestrel-publish: --push failed (status 1) for sw-apps/dbg_log_collect/abc/dbg-gen.cfg; pushed: sw-apps/dbg_log_collect/abc/$n8; not pushed: sw-apps/dbg_log_collect/abc/dbg-gen.cfg sw-apps/dbg_log_collect/abc/fileinfo.txt"
e2e_assert_eq "$(ls "$mirror/sw-apps/dbg_log_collect/abc" | tr '\n' ' ')" "dbg-gen.cfg $n8 " "files on the mirror"
rm "$mirror/sw-apps/dbg_log_collect/abc/dbg-gen.cfg"
run --refresh --push "cp {} $mirror/{}" "$root" abc
e2e_assert_eq "$rc" 0 "exit status of --refresh --push ($(cat "$err"))"
e2e_assert_same_file "$mirror/sw-apps/dbg_log_collect/abc/fileinfo.txt" "$d/fileinfo.txt" "refreshed control file pushed"
e2e_assert_eq "$(ls "$mirror/sw-apps/dbg_log_collect/abc" | tr '\n' ' ')" "$n8 fileinfo.txt " "files on the mirror"

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
rm -rf "$root/sw-apps"
run --prefix /updates/ "$root" abc 2.3 "$payload"
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
refused "PAYLOAD $sb_dir/missing.cfg does not exist" "$root" abc 1.0 "$sb_dir/missing.cfg"
: > "$sb_dir/empty.cfg"
refused "empty" "$root" abc 1.0 "$sb_dir/empty.cfg"
refused "cannot read SECKEY" --sign "$SIGN_KEYS/missing.sec" "$root" abc 1.0 "$payload"
# Refused once its directories are made: they go again.
echo "not a key" > "$sb_dir/bad.sec"
refused "could not sign" --sign "$sb_dir/bad.sec" "$root" fresh 1.0 "$payload"
for prefix in /sw-apps/../../x/ "/a b/" "/rel#1/" /sw-apps //x/ /./ sw-apps/; do
  refused "--prefix $prefix" --prefix "$prefix" "$root" abc 1.0 "$payload"
done
refused "--expires 9x is not a number of days" --expires 9x "$root" abc 1.0 "$payload"
refused "--expires 36501 is not a number of days" --expires 36501 --refresh "$root" abc

e2e_case "refused rollout changes and refreshes: a signed release stays signed, an unsigned one unsigned"
run --sign "$SIGN_KEYS/release.sec" "$root" sgn 1.0 "$payload"
run "$root" uns 1.0 "$payload"
refused "no release is published in /sw-apps/dbg_log_collect/none to change" --refresh "$root" none
for change in --refresh "--rollout 5 --update-rollout"; do
  # shellcheck disable=SC2086  # word lists on purpose
  refused "the release in /sw-apps/dbg_log_collect/sgn is signed: --sign SECKEY signs it again" $change "$root" sgn
  # shellcheck disable=SC2086
  refused "the release in /sw-apps/dbg_log_collect/uns is unsigned: publish it again to sign it" \
    --sign "$SIGN_KEYS/release.sec" $change "$root" uns
  # shellcheck disable=SC2086
  refused "could not sign" --sign "$sb_dir/bad.sec" $change "$root" sgn
done
rm -rf "$root/sw-apps"

e2e_case "a rename that fails after the first: the refusal says what is in place"
# The plain payload's name is taken by a directory the rename cannot replace.
d=$root/sw-apps/dbg_log_collect/ren
run "$root" ren 1.0 "$payload"
rm "$d/dbg-gen.cfg" && mkdir -p "$d/dbg-gen.cfg/x"
run "$root" ren 1.1 "$sb_dir/p7.cfg"
e2e_assert_eq "$rc" 1 "exit status"
placed=/sw-apps/dbg_log_collect/ren/dbg-gen.cfg.$(sha256sum "$sb_dir/p7.cfg" | cut -c1-16)
e2e_assert_contains "$err" "; already in place: $placed"
e2e_assert_eq "$(sed -n 's/^file=//p' "$d/fileinfo.txt")" dbg-gen_V1.0 "published version"
rm -rf "$root/sw-apps"

e2e_case "--force republishes an older version"
run --force --prefix /updates/ "$root" abc 2.2.9 "$payload"
e2e_assert_eq "$rc" 0 "exit status ($(cat "$err"))"
d=$root/updates/abc
cmp -s "$d/fileinfo.txt" <(expected_control 2.2.9 utf-8 "$d/fileinfo.txt" 2 abc /updates/) || e2e_fail "control file after --force"

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
publish --unsigned --prefix /a/b/ "$root" abc 3.0 "$payload" >/dev/null &
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

e2e_case "usage errors: one line saying what, status 2"
k9=$(printf -- '--sign k %.0s' 1 2 3 4 5 6 7 8 9)
while IFS='|' read -r args why; do
  # shellcheck disable=SC2086  # word lists on purpose
  run $args
  e2e_assert_eq "$rc" 2 "exit status of kestrel-publish $args"
  e2e_assert_content "$err" "kestrel-publish: $why (see --help)"$'\n' "stderr of kestrel-publish $args"
done <<ROWS
|expected ROOT MODULE VERSION PAYLOAD
$root abc 1.0|expected ROOT MODULE VERSION PAYLOAD
--bogus $root abc 1.0 $payload|unknown option --bogus
--encoding latin1 $root abc 1.0 $payload|--encoding is utf-8, utf-16le or utf-16be, not latin1
$root abc 1.0 $payload extra|too many arguments from extra
$root abc 1.0 $payload --sign|no value after --sign
--refresh $root abc 1.0 $payload|expected ROOT MODULE
--refresh --rollout 5 --update-rollout $root abc|--update-rollout and --refresh are two publishes
--refresh --encoding utf-8 $root abc|--force, --encoding and --unsigned go with a new release only
--rollout 5 --refresh $root abc|--rollout N goes with a new release or --update-rollout
--unsigned --sign k $root abc 1.0 $payload|--unsigned and --sign contradict each other
$k9 $root abc 1.0 $payload|--sign given more than 8 times
ROWS

e2e_case "--help and --version: standard output, status 0"
run --help
e2e_assert_eq "$rc" 0 "exit status of --help"
for option in --prefix --encoding --sign --unsigned --expires --push --force --rollout --update-rollout --refresh; do
  grep -q -- "^  $option" "$out" || e2e_fail "--help does not describe $option"
done
run --version
e2e_assert_eq "$(cat "$out") $rc" "kestrel-publish 1.0.0 0" "--version"

e2e_case "never by omission: a signed release stays signed, a partial rollout partial"
rm -rf "$root" && mkdir -p "$root"
run --sign "$SIGN_KEYS/release.sec" --rollout 20 "$root" abc 1.0 "$payload"
refused "the release in /sw-apps/dbg_log_collect/abc is signed: --sign SECKEY signs the new one, --unsigned publishes it unsigned" \
  "$root" abc 1.1 "$payload"
refused "version 1.0 is published in /sw-apps/dbg_log_collect/abc at rollout 20%: --rollout N says how far the new one goes" \
  --sign "$SIGN_KEYS/release.sec" "$root" abc 1.1 "$payload"
run --unsigned --rollout 100 "$root" abc 1.1 "$payload"
e2e_assert_eq "$rc" 0 "exit status of --unsigned ($(cat "$err"))"
e2e_assert_not_contains "$root/sw-apps/dbg_log_collect/abc/fileinfo.txt" "[Signatures]"
mkdir -p "$sb_dir/a-dir"
refused "PAYLOAD $sb_dir/a-dir is a directory, not a file" "$root" abc 1.2 "$sb_dir/a-dir"
refused "PAYLOAD $sb_dir/missing.cfg does not exist" "$root" abc 1.2 "$sb_dir/missing.cfg"

echo "publish: all cases passed"

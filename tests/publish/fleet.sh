#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# kestrel-fleet over small hand-written access logs: the report's counts
# (plain and gzip logs, out of order with offsets, ties, unidentified
# routers, foreign and malformed lines), the halt's threshold, and the tree
# a halt leaves: byte for byte what kestrel-publish --update-rollout leaves,
# signed release included.
set -euo pipefail
# shellcheck source=../e2e/e2e_lib.sh
source "$KESTREL_SOURCE_DIR/tests/e2e/e2e_lib.sh"
# shellcheck source=../e2e/signing.sh
source "$e2e_here/signing.sh"
: "${KESTREL_FLEET:?KESTREL_FLEET names kestrel-fleet}"

logs=$sb_dir/logs
mkdir -p "$logs"
out=$sb_dir/fleet.out
err=$sb_dir/fleet.err

# One line a router sends: ID DATE (DD:HH:MM:SS OFFSET) MODULE INSTALLED RESULT PUBLISHED REFUSED.
k() {
  printf '192.0.2.7 - - [%s/Dec/2026:%s %s] "GET /sw-apps/dbg_log_collect/%s/fileinfo.txt HTTP/1.1" 200 412 "-" "%s"\n' \
    "${2%%:*}" "${2#*:}" "$3" "$4" "$(e2e_agent "$4" "$1" "$5" "$6" "$7" "$8")"
}
r1=111111111111 r2=222222222222 r3=333333333333 r4=444444444444 r5=555555555555 r6=666666666666
r7=777777777777 r8=888888888888
{
  k $r1 09:10:00:00 +0000 abc 1.0 current 1.0 -
  k $r1 09:12:30:00 +0200 abc 2.0 installed 2.0 -
  # Written later, logged earlier (13:00 at +0300 is 10:00 UTC): not r2's latest.
  k $r2 09:11:00:00 +0000 abc 2.0 installed 2.0 -
  k $r2 09:13:00:00 +0300 abc 1.0 rolled_back 2.0 2.0
  k $r3 09:08:00:00 -0200 abc 1.0 rolled_back 2.0 2.0
  k $r4 09:10:00:00 +0000 abc 1.0 waiting 2.0 -
  k $r5 09:10:00:00 +0000 abc 1.0 failed - -
  k $r6 09:10:00:00 +0000 abc 1.0 refused 2.0 1.5
  k $r7 09:10:00:00 +0000 xyz - waiting 3.10 -
  k $r8 09:10:00:00 +0000 xyz 3.9 current 3.9 -
  k - 09:10:00:00 +0000 abc 1.0 current 2.0 -
  echo '192.0.2.8 - - [09/Dec/2026:10:00:00 +0000] "GET / HTTP/1.1" 200 612 "-" "curl/7.88.1"'
  echo '192.0.2.9 - - [09/Dec/2026:10:00:00 +0000] "GET /x HTTP/1.1" 200 612 "-" "kestreld/1.0.0"'
  echo '192.0.2.9 - - [09/Dec/2026:10:00:00 +0000] "GET /x HTTP/1.1" 200 612 "-" "kestreld/1.0.0 (abc; id=ABCDEF012345; installed=-; result=-; published=-; refused=-)"'
  k 999999999999 31:11:00:00 +0000 abc 9.9 installed 9.9 - | sed 's|31/Dec|31/Dek|'
  k 999999999999 32:11:00:00 +0000 abc 9.9 installed 9.9 -
  k 999999999999 09:11:00:00 +0000 abc 9.9 installed 9.9 - | sed 's|"-" "kestreld|"-" kestreld|'
  echo 'garbage'
  echo
  printf '%s' "$(k $r8 09:09:00:00 +0000 xyz 3.8 installed 3.8 -)"
} > "$logs/a.log"
# The same second as r3's line in a.log: the line read last wins.
{
  k $r3 09:08:00:00 -0200 abc 2.0 installed 2.0 -
  k - 09:10:00:00 +0000 xyz - current - -
} | gzip -c > "$logs/b.log.gz"
head -c 100 "$logs/b.log.gz" > "$logs/cut.log.gz"

# Runs kestrel-fleet; sets rc.
run() { rc=0; sb_target "$KESTREL_FLEET" "$@" >"$out" 2>"$err" || rc=$?; }

# ARGS (logs by name, "<" NAME for standard input) | EXIT | standard output (one line), or what
# standard error holds when the exit status is not 0.
abc_a='{"module": "abc", "routers": 6, "installed": {"1.0": 4, "2.0": 2}, "version": "2.0", "on_version": 2, "rolled_back": 1, "waiting": 1, "failed": 1, "refused_other": 1}'
abc_ab='{"module": "abc", "routers": 6, "installed": {"1.0": 3, "2.0": 3}, "version": "2.0", "on_version": 3, "rolled_back": 0, "waiting": 1, "failed": 1, "refused_other": 1}'
xyz='{"module": "xyz", "routers": 2, "installed": {"-": 1, "3.9": 1}, "version": "3.10", "on_version": 0, "rolled_back": 0, "waiting": 1, "failed": 0, "refused_other": 0}'
while IFS='|' read -r args status expected; do
  [ -n "$args" ] || continue
  e2e_case "report $args"
  read -ra words <<<"$args"
  input=/dev/null
  for i in "${!words[@]}"; do
    case ${words[$i]} in
      '<'*) input=$logs/${words[$i]#<}; words[i]=- ;;
      *.log | *.gz) words[i]=$logs/${words[$i]} ;;
    esac
  done
  run report "${words[@]}" <"$input"
  e2e_assert_eq "$rc" "$status" "exit status ($(cat "$err"))"
  if [ "$status" = 0 ]; then
    e2e_assert_eq "$(cat "$out")" "$expected" "output"
  else
    [ "$status" = 2 ] || e2e_assert_eq "$(wc -l < "$err")" 1 "lines on stderr"
    e2e_assert_contains "$err" "$expected"
  fi
done <<ROWS
--json a.log|0|{"lines": 20, "skipped": 8, "unidentified": 1, "modules": [$abc_a, $xyz]}
--json a.log b.log.gz|0|{"lines": 22, "skipped": 8, "unidentified": 2, "modules": [$abc_ab, $xyz]}
--json b.log.gz a.log|0|{"lines": 22, "skipped": 8, "unidentified": 2, "modules": [$abc_a, $xyz]}
--json <b.log.gz a.log|0|{"lines": 22, "skipped": 8, "unidentified": 2, "modules": [$abc_a, $xyz]}
--json --module XYZ --version 3.9 a.log|0|{"lines": 20, "skipped": 8, "unidentified": 1, "modules": [{"module": "xyz", "routers": 2, "installed": {"-": 1, "3.9": 1}, "version": "3.9", "on_version": 1, "rolled_back": 0, "waiting": 0, "failed": 0, "refused_other": 0}]}
--json --module none <b.log.gz|0|{"lines": 2, "skipped": 0, "unidentified": 1, "modules": [{"module": "none", "routers": 0, "installed": {}, "version": null, "on_version": 0, "rolled_back": 0, "waiting": 0, "failed": 0, "refused_other": 0}]}
--json <a.log missing.log|1|kestrel-fleet: cannot read $logs/missing.log: No such file or directory
--json a.log cut.log.gz|1|kestrel-fleet: cannot read $logs/cut.log.gz:
--json|2|kestrel-fleet: no LOG given (see --help)
--json --module|2|kestrel-fleet: no value after --module (see --help)
--bogus a.log|2|kestrel-fleet: unknown option --bogus (see --help)
ROWS

e2e_case "the table for a person holds the same numbers"
run report "$logs/a.log"
e2e_assert_eq "$(tr -s " " < "$out")" "lines 20, skipped 8, unidentified 1
module routers version on_version rolled_back waiting failed refused_other
abc 6 2.0 2 1 1 1 1
 installed: 1.0: 4, 2.0: 2
xyz 2 3.10 0 0 1 0 0
 installed: -: 1, 3.9: 1" "table"

# ------------------------------------------------------------------ halt
signing_setup
root=$sb_dir/root
ref=$sb_dir/ref
e2e_make_payload "$sb_dir/v2.cfg" v2
# Every entry and every file's digest; a control file's without what each
# change writes anew (issued, expires, the signatures over them).
manifest() {
  (cd "$1" && find . -printf '%y %m %p\n' | sort && {
    find . -type f ! -name fileinfo.txt -exec md5sum {} +
    find . -type f -name fileinfo.txt | while read -r f; do
      printf '%s  %s\n' "$(sed '/^issued=/d; /^expires=/d; /^\[Signatures\]/,$d' "$f" | md5sum | cut -c1-32)" "$f"
    done
  } | sort -k 2)
}

# A release of abc 2.0 at rollout 50 in ROOT, and the same tree halted by
# kestrel-publish in REF (SIGN: a key, or none).
fresh_release() { # SIGN
  local sign=()
  [ "$1" = none ] || sign=(--sign "$1")
  rm -rf "$root" "$ref" && mkdir -p "$root"
  publish "${sign[@]}" --rollout 50 "$root" abc 2.0 "$sb_dir/v2.cfg" >/dev/null || e2e_fail "publish"
  cp -a "$root" "$ref"
  publish "${sign[@]}" --rollout 0 --update-rollout "$ref" abc >/dev/null || e2e_fail "--update-rollout"
}

# r2 and r1 took 2.0, r3 rolled back: 1 of 3.
# THRESHOLD OPTIONS | EXIT | the line printed (TREE: as before, or as kestrel-publish halted it)
fresh_release none
before=$(manifest "$root")
while IFS='|' read -r args status verdict tree; do
  e2e_case "halt $args"
  # shellcheck disable=SC2086  # word lists on purpose
  run halt $args "$root" ABC "$logs/a.log"
  e2e_assert_eq "$rc" "$status" "exit status ($(cat "$err"))"
  e2e_assert_eq "$(cat "$out")" "abc 2.0: 1 of 3 routers rolled back (33.3 %), threshold $verdict" "output"
  e2e_assert_content "$err" "" "stderr"
  if [ "$tree" = halted ]; then
    e2e_assert_eq "$(manifest "$root")" "$(manifest "$ref")" "tree after the halt"
  else
    e2e_assert_eq "$(manifest "$root")" "$before" "tree"
  fi
done <<ROWS
--max-rolled-back 34 --min-routers 3|0|34 %: not halted|before
--max-rolled-back 30 --min-routers 4|0|30 %: not halted|before
--max-rolled-back 0|0|0 %: not halted|before
--max-rolled-back 33 --min-routers 3|3|33 %: halted|halted
--max-rolled-back 33 --min-routers 3|0|33 %: already halted|halted
ROWS

e2e_case "halt of a signed release: refused without --sign, signed again with it"
fresh_release "$SIGN_KEYS/release.sec"
before=$(manifest "$root")
run halt --max-rolled-back 10 --min-routers 1 "$root" abc "$logs/a.log"
e2e_assert_eq "$rc" 1 "exit status without --sign"
e2e_assert_content "$err" "kestrel-fleet: the release in /sw-apps/dbg_log_collect/abc is signed: --sign SECKEY signs it again
" "stderr"
e2e_assert_eq "$(manifest "$root")" "$before" "tree after the refusal"
run halt --max-rolled-back 10 --min-routers 1 --sign "$SIGN_KEYS/release.sec" "$root" abc "$logs/a.log"
e2e_assert_eq "$rc" 3 "exit status ($(cat "$err"))"
e2e_assert_eq "$(cat "$out")" "abc 2.0: 1 of 3 routers rolled back (33.3 %), threshold 10 %: halted" "output"
e2e_assert_eq "$(manifest "$root")" "$(manifest "$ref")" "tree after the halt"
d=$root/sw-apps/dbg_log_collect/abc
sed '/^\[Signatures\]$/,$d' "$d/fileinfo.txt" > "$sb_dir/signed.txt"
sed '1,/^\[Signatures\]$/d' "$d/fileinfo.txt" > "$sb_dir/halt.sig"
signify-openbsd -V -q -p "$SIGN_KEYS/release.pub" -x "$sb_dir/halt.sig" -m "$sb_dir/signed.txt" ||
  e2e_fail "the control file's new signature does not verify"

e2e_case "halt errors and usage"
for row in "1|--max-rolled-back 10 $sb_dir/empty abc $logs/a.log|no release is published in /sw-apps/dbg_log_collect/abc" \
           "1|--max-rolled-back 10 $root abc $logs/missing.log|cannot read $logs/missing.log" \
           "2|$root abc $logs/a.log|halt needs --max-rolled-back PCT (see --help)" \
           "2|--max-rolled-back 101 $root abc $logs/a.log|--max-rolled-back is a whole number from 0 to 100, not 101" \
           "2|--max-rolled-back 5 --min-routers x $root abc $logs/a.log|--min-routers is a whole number, not x" \
           "2|--max-rolled-back 5 $root abc|expected ROOT MODULE LOG..."; do
  IFS='|' read -r status args why <<<"$row"
  mkdir -p "$sb_dir/empty"
  # shellcheck disable=SC2086  # word lists on purpose
  run halt $args
  e2e_assert_eq "$rc" "$status" "exit status of halt $args"
  e2e_assert_contains "$err" "$why"
  e2e_assert_eq "$(wc -l < "$err")" 1 "lines on stderr"
done
run --help
e2e_assert_eq "$rc" 0 "exit status of --help"
for option in --json --module --version --max-rolled-back --min-routers --prefix --sign; do
  grep -q -- "^  $option" "$out" || e2e_fail "--help does not describe $option"
done
run --version
e2e_assert_eq "$(cat "$out") $rc" "kestrel-fleet 1.0.0 0" "--version"

echo "fleet: all cases passed"

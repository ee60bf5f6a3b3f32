#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Retrieval and listing through the drivers ftp_get and ftp_scan, against the
# servers run_with_servers.sh started: vsftpd and pyftpdlib (passive and
# active), and scripted servers for what real ones will not do.
set -euo pipefail
source "$KESTREL_SOURCE_DIR/tests/ftp/servers.sh"

out=/tmp/ftp_out
log=/tmp/oru_log.txt
data_bin=$ftp_dir/anon/pub/nested/deep/data.bin
drv_out=$sb_dir/driver.out
drv_err=$sb_dir/driver.err

case_() { echo "== $*"; CASE=$*; }
fail() { sb_fail "[$CASE] $*"; }

# A fresh run: logging on, no log, no output file.
fresh() { # [CONFIG LINE]...
  mkdir -p /etc/kestrel
  printf '%s\n' oru_log=1 "$@" > /etc/kestrel/config
  rm -f "$log" "$out"
}

# ftp_transfer URL OUTPUT through ftp_get returns WANT (1, 0 or -1).
get_is() { # WANT URL OUTPUT|- [--percent]
  local want=$1 rc=0 got
  sb_target "$KESTREL_BINARY_DIR/tests/ftp/ftp_get" ${4:-} "$2" "$3" >"$drv_out" 2>"$drv_err" || rc=$?
  case $rc in 0) got=1 ;; 1) got=0 ;; 3) got=-1 ;; *) got="exit $rc" ;; esac
  [ "$got" = "$want" ] || fail "ftp_transfer $2 $3 gave $got, wanted $want"
}

# ftp_scan HOST PATH OUTPUT through the driver returns WANT (1 or 0).
scan_is() { # WANT HOST PATH|- OUTPUT|-
  local rc=0
  sb_target "$KESTREL_BINARY_DIR/tests/ftp/ftp_scan" "$2" "$3" "$4" >"$drv_out" 2>"$drv_err" || rc=$?
  [ "$rc" -le 1 ] && [ "$(( 1 - rc ))" = "$1" ] || fail "ftp_scan $2 $3 $4: exit $rc, wanted result $1"
}

same_file() { cmp -s "$1" "$2" || fail "$1 differs from $2"; }
content_is() { # FILE TEXT
  [ -f "$1" ] || fail "$1 missing"
  cmp -s "$1" <(printf '%s' "$2") || fail "$1: expected [$2], got [$(head -c 300 "$1")]"
}
size_is() { [ "$(stat -c %s "$1" 2>/dev/null)" = "$2" ] || fail "$1: size $(stat -c %s "$1" 2>/dev/null), wanted $2"; }
log_has() { grep -qF -- "$1" "$log" 2>/dev/null || fail "log lacks [$1]: $(cat "$log" 2>/dev/null)"; }

# Commands a scripted server received; waits a little for a QUIT that was
# sent without waiting for its reply.
commands() { # ADDR
  local f=$ftp_dir/commands-$1.txt i
  for i in $(seq 40); do
    [ "$(tail -n 1 "$f" 2>/dev/null)" = QUIT ] && break
    sleep 0.05
  done
  cat "$f" 2>/dev/null || true
}
commands_are() { # ADDR EXPECTED(lines)
  local got
  got=$(commands "$1")
  [ "$got" = "$2" ] || fail "commands at $1: [$got], wanted [$2]"
}
forget_commands() { rm -f "$ftp_dir/commands-$1.txt"; }

for server in vsftpd:127.0.0.2:127.0.0.4 pyftpdlib:127.0.0.3:127.0.0.5; do
  IFS=: read -r name passive active <<<"$server"

  for addr in "$passive" "$active"; do
    case_ "$name $addr: anonymous, nested directory"
    fresh
    get_is 1 "ftp://$addr/pub/nested/deep/data.bin" "$out"
    same_file "$out" "$data_bin"

    case_ "$name $addr: missing file and directory"
    fresh
    # SIZE answered 550 and RETR refused: the output exists, empty.
    get_is -1 "ftp://$addr/pub/nothing.bin" "$out"
    content_is "$out" ""
    get_is 0 "ftp://$addr/nodir/f.bin" "$out"

    case_ "$name $addr: login and directory change only"
    scan_is 1 "$addr" pub/nested -
    scan_is 1 "$addr" - -
    scan_is 0 "$addr" nodir -
  done

  case_ "$name: user and password from the URL"
  fresh
  get_is 1 "ftp://kestrel:s3cret@$passive/private/secret.txt" "$out"
  content_is "$out" $'only for kestrel\n'
  get_is 0 "ftp://kestrel:wrong@$passive/private/secret.txt" "$out"
  content_is "$out" ""

  case_ "$name: empty file, file at the root, progress, default name"
  fresh
  get_is 1 "ftp://$passive/empty.bin" "$out"
  content_is "$out" ""
  get_is 1 "ftp://$active/f.bin" "$out" --percent
  same_file "$out" "$ftp_dir/anon/f.bin"
  [ "$(grep -c . "$drv_out")" -ge 3 ] && [ "$(head -n 1 "$drv_out")" = 0 ] && [ "$(tail -n 1 "$drv_out")" = 100 ] ||
    fail "progress figures: $(tr '\n' ' ' < "$drv_out")"
  # Without an output name the remote name is used, relative to the cwd.
  mkdir -p /tmp/ftp_cwd
  (cd /tmp/ftp_cwd && get_is 1 "ftp://$passive/pub/nested/deep/data.bin" -)
  same_file /tmp/ftp_cwd/data.bin "$data_bin"
done

case_ "IPv6: EPSV, or EPRT where passive mode is off, and never PASV or PORT"
for addr in fd00::2 fd00::4 fd00::3 fd00::5; do
  fresh
  get_is 1 "ftp://[$addr]/pub/nested/deep/data.bin" "$out"
  same_file "$out" "$data_bin"
done
data_commands() { # ADDR: what vsftpd logged
  sed -n 's/.*FTP command: Client "[^"]*", "\(PASV\|PORT\|EPSV\|EPRT\).*/\1/p' "$ftp_dir/vsftpd-$1.log" | tr '\n' ' '
}
[ "$(data_commands fd00::2)" = "EPSV " ] || fail "data commands at fd00::2: $(data_commands fd00::2)"
[ "$(data_commands fd00::4)" = "EPSV EPRT " ] || fail "data commands at fd00::4: $(data_commands fd00::4)"
forget_commands fd00::10
get_is 1 "ftp://[fd00::10]/sw/pkg/fileinfo.txt" "$out"
commands_are fd00::10 $'USER anonymous\nPASS \nTYPE I\nCWD sw/pkg\nEPSV\nSIZE fileinfo.txt\nRETR fileinfo.txt\nQUIT'

case_ "listing needs 125"
# pyftpdlib in active mode has the data connection open when LIST comes, so
# it answers 125.  (In passive mode it races the client's connect.)
fresh
scan_is 1 127.0.0.5 /pub/nested/deep "$out"
grep -q data.bin "$out" || fail "listing: $(cat "$out")"
scan_is 1 127.0.0.5 - "$out"
grep -q pub "$out" || fail "listing: $(cat "$out")"
# The path is sent to both CWD and LIST: a relative one lists a directory
# that is not there.
scan_is 0 127.0.0.5 pub/nested "$out"
# vsftpd answers LIST with 150: refused, nothing written.
for addr in 127.0.0.2 127.0.0.4; do
  scan_is 0 "$addr" /pub "$out"
  content_is "$out" ""
done

case_ "scripted listing in pieces, and LIST answered 150"
fresh
forget_commands 127.0.0.19
scan_is 1 127.0.0.19 - "$out"
content_is "$out" "$(for n in a b c; do printf -- '-rw-r--r-- 1 0 0 1000 Jan 01 00:00 %s\r\n' "$n"; done)"$'\n'
commands_are 127.0.0.19 $'USER anonymous\nPASS \nTYPE I\nPASV\nLIST \nQUIT'
scan_is 0 127.0.0.19 - /dev/full
forget_commands 127.0.0.18
scan_is 0 127.0.0.18 dir "$out"
content_is "$out" ""
[ "$(commands 127.0.0.18 | tail -n 1)" = QUIT ] || fail "no QUIT after the refused listing"

case_ "command sequence of a retrieval"
fresh
forget_commands 127.0.0.10
get_is 1 ftp://127.0.0.10/sw/pkg/fileinfo.txt "$out"
size_is "$out" 1000
commands_are 127.0.0.10 $'USER anonymous\nPASS \nTYPE I\nCWD sw/pkg\nPASV\nSIZE fileinfo.txt\nRETR fileinfo.txt\nQUIT'
forget_commands 127.0.0.10
get_is 1 ftp://127.0.0.10//abs/f.bin "$out"
[ "$(commands 127.0.0.10 | sed -n 4p)" = "CWD /abs" ] || fail "absolute directory: $(commands 127.0.0.10)"
forget_commands 127.0.0.10
get_is 1 ftp://127.0.0.10/f.bin "$out"
[ "$(commands 127.0.0.10 | sed -n 4p)" = PASV ] || fail "file at the root: $(commands 127.0.0.10)"
forget_commands 127.0.0.10
get_is 0 ftp://127.0.0.10/missing/f.bin "$out"
commands_are 127.0.0.10 $'USER anonymous\nPASS \nTYPE I\nCWD missing\nQUIT'

case_ "USER answered 230: no PASS"
fresh
forget_commands 127.0.0.11
get_is 1 ftp://joe:pw@127.0.0.11/f.bin "$out"
[ "$(commands 127.0.0.11 | head -n 2)" = $'USER joe\nTYPE I' ] || fail "commands: $(commands 127.0.0.11)"

case_ "greeting in two reads"
fresh
get_is 1 ftp://127.0.0.12/f.bin "$out"
size_is "$out" 1000

case_ "SIZE refused or unknown"
fresh
get_is -1 ftp://127.0.0.13/f.bin "$out"
content_is "$out" ""
get_is 1 ftp://127.0.0.14/f.bin "$out"
size_is "$out" 1000
# 502 to SIZE: the spinner meter, and the file is still retrieved.
get_is 1 ftp://127.0.0.15/f.bin "$out"
size_is "$out" 1000
grep -qF "ftp://127.0.0.15/f.bin (unknown size)" "$drv_err" && grep -q "^1000 bytes transferred in " "$drv_err" ||
  fail "meter: $(head -c 600 "$drv_err")"

case_ "a short transfer is a failure and leaves no file"
fresh
get_is 0 ftp://127.0.0.16/f.bin "$out"
[ ! -e "$out" ] || fail "the cut transfer's file was left: $(stat -c %s "$out") bytes"

case_ "a full disk ends the transfer"
fresh
get_is 0 ftp://127.0.0.10/f.bin /dev/full
get_is 1 ftp://127.0.0.10/f.bin "$out"

case_ "a server that hangs up after the greeting"
fresh
get_is 0 ftp://127.0.0.17/f.bin "$out"
[ -e "$out" ] || fail "no output file"

case_ "the configured address overrides the host name"
fresh oru_ftp_ip=127.0.0.10
get_is 1 ftp://no.such.host/f.bin "$out"
log_has "ftp_connect L#"
log_has $'Host: no.such.host, Inet: 127.0.0.10'
scan_is 1 no.such.host - -
# The store keeps a value's trailing blanks: the address is read up to them.
fresh "oru_ftp_ip=127.0.0.10 "
get_is 1 ftp://no.such.host/f.bin "$out"
log_has $'Host: no.such.host, Inet: 127.0.0.10'
# An IPv6 address, bare or in brackets.
for ip in fd00::10 "[fd00::10]"; do
  fresh "oru_ftp_ip=$ip"
  get_is 1 ftp://no.such.host/f.bin "$out"
  log_has "Host: no.such.host, Inet: fd00::10"
done

case_ "an address that never answers: the connect wait ends the attempt"
fresh
scan_is 0 127.0.0.9 - -
log_has "connect timeout"

case_ "unresolvable host, unwritable output"
fresh
get_is 0 ftp://no.such.host/f.bin "$out"
[ -e "$out" ] || fail "no output file"
log_has "Can't resovle the host : no.such.host IP!"
scan_is 0 no.such.host - -
rm -f "$log"
get_is 0 ftp://127.0.0.10/f.bin /nonexistent/dir/out
log_has "ftp_transfer L#"
log_has "Can't open the output file!"
scan_is 0 127.0.0.10 - /nonexistent/dir/out
log_has "ftp_scan L#"
# Refused URLs touch nothing.
rm -f "$out"
get_is 0 ftp://127.0.0.10/dir/ "$out"
[ ! -e "$out" ] || fail "output file created for a refused URL"

echo "ftp_servers: all cases passed"

#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# The FTP client against scripted servers that hold, flood, misdirect or cut
# the exchange, and against quirky ones that frame replies oddly.  Every case
# runs at once, in its own process, so the whole script takes about as long
# as its slowest case (a 60-second reply or accept timeout).  Each case
# asserts the result, the time it took, and what is left in /tmp.
set -euo pipefail
source "$KESTREL_SOURCE_DIR/tests/ftp/servers.sh"

get=$KESTREL_BINARY_DIR/tests/ftp/ftp_get
list=$KESTREL_BINARY_DIR/tests/ftp/ftp_scan
# Programs of the build under test, bounded well past every case's bound.
target() { timeout 150 ${KESTREL_EMULATOR:-} "$@"; }

cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$KESTREL_BINARY_DIR/CMakeCache.txt" | head -n 1; }
config=$(cache_value KESTREL_CONFIG_FILE)
cap=$(cache_value KESTREL_MAX_DOWNLOAD)
mkdir -p "$(dirname "$config")"
echo "oru_log=1" > "$config"
log=/tmp/oru_log.txt
res=$sb_dir/results
mkdir -p "$res"

# NAME ADDRESS MODE DRIVER EXIT MIN MAX FILE
#   EXIT: 0 done, 1 failed; MIN..MAX: seconds the run may take;
#   FILE: what /tmp/out.NAME is afterwards: absent, or its size in bytes.
cases="
trickle_greeting     127.0.0.40 trickle_greeting     get  1 59 80  0
trickle_reply        127.0.0.41 trickle_reply        get  1 59 80  0
trickle_data         127.0.0.42 trickle_data         get  1 29 50  absent
endless_size         127.0.0.43 endless_size         get  1 0  20  absent
endless_nosize       127.0.0.44 endless_nosize       get  1 0  30  absent
pasv_elsewhere       127.0.0.45 pasv_elsewhere       get  0 0  15  1000
active_intruder      127.0.0.46 active_intruder      get  0 0  20  1000
active_late_intruder 127.0.0.47 active_late_intruder get  1 59 80  0
pasv_dead_port       127.0.0.48 pasv_dead_port       get  0 0  15  1000
no_final             127.0.0.49 no_final             get  1 59 80  absent
final426             127.0.0.50 final426             get  1 0  15  absent
together             127.0.0.51 together             get  0 0  15  1000
split_midline        127.0.0.52 split_midline        get  0 0  15  1000
size_garbage         127.0.0.53 size_garbage         get  0 0  15  1000
size_negative        127.0.0.54 size_negative        get  0 0  15  1000
list_endless         127.0.0.55 list_endless         list 1 0  30  absent
list426              127.0.0.56 list426              list 1 0  15  absent
list_together        127.0.0.57 list_together        list 0 0  15  114
active_intruder6     fd00::46   active_intruder      get  0 0  20  1000
silent_ipv4          dual.test  -                    get  0 4.9 20 1000
"

# dual.test: an IPv4 address that swallows connection attempts, then an
# IPv6 one with an ordinary server.
sb_ipv6 fd00::46 fd00::58 fd00::77
servers=(fd00::58:normal)
while read -r name addr mode _; do
  [ -n "$name" ] && [ "$mode" != - ] && servers+=("$addr:$mode")
done <<< "$cases"
mkdir -p "$ftp_dir"
ftp_start_scripted "${servers[@]}"
ftp_silent_address
/usr/sbin/dnsmasq --no-resolv --no-hosts --user=root --port=53 --bind-interfaces --listen-address=127.0.0.53 \
  --pid-file="$sb_dir/dnsmasq.pid" --local=/test/ --host-record=dual.test,127.0.0.9,fd00::58 ||
  sb_fail "dnsmasq did not start"
echo "nameserver 127.0.0.53" > /tmp/resolv.conf

run_case() { # NAME ADDRESS DRIVER
  local name=$1 addr=$2 driver=$3 out=/tmp/out.$1 t0=$EPOCHREALTIME rc=0 host=$2
  [[ $addr != *:* ]] || host="[$addr]"
  if [ "$driver" = get ]; then
    target "$get" "ftp://$host/pub/f.bin" "$out" 2> "$res/$name.err" || rc=$?
  else
    target "$list" "$addr" - "$out" 2> "$res/$name.err" || rc=$?
  fi
  echo "$rc $(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }')" > "$res/$name.result"
}
jobs=()
while read -r name addr _ driver _; do
  [ -n "$name" ] || continue
  run_case "$name" "$addr" "$driver" &
  jobs+=($!)
done <<< "$cases"
wait "${jobs[@]}"

# Bytes the client took off the data connection (the meter's closing line).
received() { grep -ao '[0-9]* bytes transferred' "$res/$1.err" | tail -n 1 | cut -d' ' -f1; }
commands() { cat "$ftp_dir/commands-$1.txt" 2>/dev/null || true; }
in_log() { grep -qF -- "$1" "$log" || sb_fail "log lacks [$1]"; }
failures=0
printf '%-22s %4s %7s %9s %s\n' case exit seconds received "file in /tmp"
while read -r name addr _ _ want_rc min max want_file; do
  [ -n "$name" ] || continue
  read -r rc took < "$res/$name.result"
  out=/tmp/out.$name
  file=absent
  [ -e "$out" ] && file=$(stat -c %s "$out")
  printf '%-22s %4s %7s %9s %s\n' "$name" "$rc" "$took" "$(received "$name")" "$file"
  problem=
  [ "$rc" = "$want_rc" ] || problem+=" exit $rc, wanted $want_rc;"
  awk -v t="$took" -v lo="$min" -v hi="$max" 'BEGIN { exit !(t >= lo && t <= hi) }' ||
    problem+=" took ${took}s, not within $min..$max;"
  [ "$file" = "$want_file" ] || problem+=" output $file, wanted $want_file;"
  if [ -n "$problem" ]; then
    echo "FAIL $name:$problem" >&2
    tail -c 600 "$res/$name.err" >&2 || true
    failures=$((failures + 1))
  fi
done <<< "$cases"
[ "$failures" -eq 0 ] || sb_fail "$failures cases failed"
# A sanitized build's report would look like an expected failure.
! grep -lE 'Sanitizer|runtime error:' "$res"/*.err || sb_fail "sanitizer report (files above)"

# Flooding: one read past the SIZE figure or the cap at most, and nothing
# of it kept.
n=$(received endless_size)
[ "$n" -gt 1000 ] && [ "$n" -le $((1000 + 2047)) ] || sb_fail "endless_size took $n bytes"
n=$(received endless_nosize)
[ "$n" -gt "$cap" ] && [ "$n" -le $((cap + 2047)) ] || sb_fail "endless_nosize took $n bytes"
in_log "more than 1000 bytes: transfer stopped"
in_log "more than $cap bytes: transfer stopped"
in_log "more than $cap bytes: listing stopped"
# A trickle: at most a byte per 3 seconds arrived before the rule struck.
n=$(received trickle_data)
[ "$n" -le 11 ] || sb_fail "trickle_data took $n bytes"
in_log "data connection stalled"

# Misdirection: the announced address is never contacted, the intruder is
# hung up on, a dead passive port falls back to PORT.
commands 127.0.0.45 | grep -q "EVENT decoy" && sb_fail "the client connected to the address of the 227"
in_log "PASV address 127.0.0.99 ignored, connecting to 127.0.0.45"
commands 127.0.0.46 | grep -qx "EVENT intruder closed" || sb_fail "the intruder's connection was not closed"
commands 127.0.0.47 | grep -qx "EVENT intruder closed" || sb_fail "the late intruder's connection was not closed"
in_log "data connection from 127.0.0.77 refused"
commands fd00::46 | grep -qx "EVENT intruder closed" || sb_fail "the IPv6 intruder's connection was not closed"
[ "$(commands fd00::46 | grep -E '^(PASV|PORT|EPSV|EPRT)' | cut -d' ' -f1 | tr '\n' ' ')" = "EPSV EPRT " ] ||
  sb_fail "data commands over IPv6: $(commands fd00::46)"
in_log "data connection from fd00::77 refused"
# The address that never answered first, for the whole connect wait, then the next.
[ "$(grep -o 'Host: dual.test, Inet: [^ ]*' "$log" | cut -d' ' -f4 | tr '\n' ' ')" = "127.0.0.9 fd00::58 " ] ||
  sb_fail "addresses of dual.test tried: $(grep 'dual.test' "$log")"
[ "$(commands 127.0.0.48 | grep -E '^(PASV|PORT|RETR)' | cut -d' ' -f1 | tr '\n' ' ')" = "PASV PORT RETR " ] ||
  sb_fail "no PORT after the dead passive port: $(commands 127.0.0.48)"
in_log "connect to 127.0.0.48:"

# Framing: replies read whole, nothing of the data lost.
for c in pasv_elsewhere active_intruder active_intruder6 silent_ipv4 pasv_dead_port together split_midline size_garbage \
         size_negative; do
  cmp -s "/tmp/out.$c" <(head -c 1000 < <(yes 0123456789 | tr -d '\n')) || sb_fail "$c: wrong content"
done
grep -qF "ftp://127.0.0.53/pub/f.bin (unknown size)" "$res/size_garbage.err" || sb_fail "garbage SIZE taken as a size"
grep -qF "ftp://127.0.0.54/pub/f.bin (unknown size)" "$res/size_negative.err" || sb_fail "negative SIZE taken as a size"
echo "PASS"

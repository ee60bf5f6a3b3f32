#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# The resolver against a scripted server that sends the replies a real server
# will not: wrong IDs, answers from another port or address or to another
# question, CNAME only, counts and lengths past the end, pointer loops,
# replies past 512 bytes, truncated replies whose TCP answer is cut, without
# end or missing.  Each name is looked up by its own process, all at
# once: datagrams that are no answer to the query are dropped and the wait
# goes on, so those lookups take their full 3 seconds per attempt.
set -euo pipefail
source "$KESTREL_SOURCE_DIR/tests/sandbox/lib.sh"
here=$KESTREL_SOURCE_DIR/tests/resolv
driver=$KESTREL_BINARY_DIR/tests/resolv/dns_driver
log=$sb_dir/queries.log
# Programs of the build under test, bounded (60 s is past every case's bound).
target() { timeout 60 ${KESTREL_EMULATOR:-} "$@"; }

/usr/bin/python3 "$here/dns_scripted_server.py" "$log" 127.0.0.2 127.0.0.3 > "$sb_dir/server.out" &
for _ in $(seq 50); do grep -q ready "$sb_dir/server.out" && break; sleep 0.1; done
grep -q ready "$sb_dir/server.out" || sb_fail "scripted server did not start"
printf 'nameserver 127.0.0.2\nnameserver 127.0.0.3\n' > /tmp/resolv.conf

# NAME ADDRESS MIN MAX: the lookup of NAME.test gives ADDRESS within MIN..MAX s.
cases="
wrongid 0 17.5 40
short 0 17.5 40
pointerq 0 17.5 40
late 192.0.2.77 2.9 10
wrongfirst 192.0.2.77 0 6
otherport 192.0.2.77 0 6
otheraddr 192.0.2.77 0 6
otherquestion 192.0.2.77 0 6
loop 192.0.2.77 0 6
chaos 192.0.2.77 0 6
longreply 192.0.2.77 0 6
cnameonly 0 0 6
pastend 0 0 6
manyquestions 0 0 6
rdlength 0 0 6
labelpast 0 0 6
afterbuffer 0 0 6
nxdomain 0 0 6
truncated 192.0.2.77 0 6
tcpcut 0 0 6
tcpoversized 0 0 6
tcpsilent 0 17.5 40
"
lookup() { # NAME: "NAME ADDRESS SECONDS" into result.NAME
  local t0=$EPOCHREALTIME out
  out=$(target "$driver" resolve "$1" || echo "$1 failed")
  echo "$out $(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.2f", b - a }')" > "$sb_dir/result.$1"
}
jobs=()
while read -r name _; do
  [ -n "$name" ] || continue
  lookup "$name.test" &
  jobs+=($!)
done <<< "$cases"
# A fully qualified name is asked without its trailing dot.
lookup fqdn.test. &
jobs+=($!)
wait "${jobs[@]}"

while read -r name want min max; do
  [ -n "$name" ] || continue
  read -r _ got took < "$sb_dir/result.$name.test"
  echo "$name.test -> $got in ${took}s"
  [ "$got" = "$want" ] || sb_fail "$name.test: wanted $want, got $got"
  awk -v t="$took" -v lo="$min" -v hi="$max" 'BEGIN { exit !(t >= lo && t <= hi) }' \
    || sb_fail "$name.test took ${took}s, not within $min..$max"
done <<< "$cases"
read -r _ got _ < "$sb_dir/result.fqdn.test."
[ "$got" = 192.0.2.3 ] || sb_fail "fqdn.test.: wanted 192.0.2.3, got $got"
grep -q '^127.0.0.3 [0-9]* fqdn.test A udp$' "$log" || sb_fail "fqdn.test. was not asked as fqdn.test"

# Queries as "SERVER:ID" per name, in order.
queries() { awk -v n="$1.test" '$3 == n { printf "%s:%s ", $1, $2 }' "$log"; }
servers() { awk -v n="$1.test" '$3 == n { printf "%s ", $1 }' "$log"; }
ids() { awk -v n="$1.test" '$3 == n { print $2 }' "$log"; }
# Every attempt spent: the last server listed asked three times first.
for n in wrongid short pointerq cnameonly pastend nxdomain; do
  [ "$(servers $n)" = "127.0.0.3 127.0.0.3 127.0.0.3 127.0.0.2 127.0.0.2 127.0.0.2 " ] \
    || sb_fail "$n.test asked as: $(queries $n)"
  # Six different IDs, and not a count: no two in a row one apart.
  [ "$(ids $n | sort -u | wc -l)" -eq 6 ] || sb_fail "$n.test: IDs repeat: $(queries $n)"
  ids $n | awk 'NR > 1 && $1 == prev + 1 { bad = 1 } { prev = $1 } END { exit bad }' \
    || sb_fail "$n.test: IDs count up: $(queries $n)"
done
# Lookups of different names start from different IDs.
[ "$(for n in wrongid short pointerq cnameonly pastend nxdomain; do ids $n | head -n 1; done | sort -u | wc -l)" -eq 6 ] \
  || sb_fail "lookups share their first ID"
# Dropped datagrams spend no attempt.
for n in wrongfirst otherport otheraddr otherquestion loop; do
  [ "$(servers $n)" = "127.0.0.3 " ] || sb_fail "$n.test asked as: $(queries $n)"
done
[ "$(servers late)" = "127.0.0.3 127.0.0.3 " ] || sb_fail "late.test asked as: $(queries late)"
# A truncated reply, its decoy address unused, is asked again over TCP in the
# same attempt; a TCP answer cut, without end or missing spends that attempt.
protos() { awk -v n="$1.test" '$3 == n { printf "%s:%s ", $1, $5 }' "$log"; }
[ "$(protos truncated)" = "127.0.0.3:udp 127.0.0.3:tcp " ] || sb_fail "truncated.test asked as: $(protos truncated)"
every=$(for s in 127.0.0.3 127.0.0.2; do for _ in 1 2 3; do printf '%s:udp %s:tcp ' $s $s; done; done)
for n in tcpcut tcpoversized tcpsilent; do
  [ "$(protos $n)" = "$every" ] || sb_fail "$n.test asked as: $(protos $n)"
done
echo "PASS"

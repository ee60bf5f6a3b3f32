#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# The resolver through dns_driver against the scripted name server on
# loopback: the order of servers, the query IDs, the server list and what
# never reaches the wire.  Names whose first label is "lastok" are answered
# only by 127.0.0.2 (refused at once elsewhere); other names get 192.0.2.N
# (and fd00::N), N the last number of the server's address.
set -euo pipefail
source "$KESTREL_SOURCE_DIR/tests/sandbox/lib.sh"
here=$KESTREL_SOURCE_DIR/tests/resolv
queries=$sb_dir/queries.log
log=/tmp/oru_log.txt

sb_ipv6 fd00::3 fe80::4
/usr/bin/python3 "$here/dns_scripted_server.py" "$queries" 127.0.0.2 127.0.0.3 127.0.0.4 127.0.0.5 127.0.0.6 \
  fd00::3 fe80::4%lo > "$sb_dir/server.out" &
for _ in $(seq 50); do grep -q ready "$sb_dir/server.out" && break; sleep 0.1; done
grep -q ready "$sb_dir/server.out" || sb_fail "scripted server did not start"
mkdir -p /etc/kestrel
echo oru_log=1 > /etc/kestrel/config

# A fresh lookup: no log, no queries seen, the given name servers.
start() { # RESOLV_CONF_TEXT (none: no file)
  rm -f "$log" /tmp/resolv.conf
  : > "$queries"
  [ "$#" -eq 0 ] || printf '%s' "$1" > /tmp/resolv.conf
}
resolve() { # NAME EXPECTED_ADDRESS [CALL: resolve (IPv4 only) or all]
  local got
  got=$(sb_target "$KESTREL_BINARY_DIR/tests/resolv/dns_driver" "${3:-resolve}" "$1")
  [ "$got" = "$1 $2" ] || sb_fail "'$1' resolved as '$got', wanted $2"
}
ids() { awk -v a="$1" '$1 == a { printf "%s ", $2 }' "$queries"; }
# Field N of every query (4: type, 5: udp or tcp), in order.
asked_as() { awk -v n="$1" '{ printf "%s ", $n }' "$queries"; }
expect_asked() { # SERVER N: asked N times
  [ "$(ids "$1" | wc -w)" = "$2" ] || sb_fail "IDs asked at $1: '$(ids "$1")', wanted $2 of them"
}
# The IDs of one lookup, in the order sent: all different, and none the one
# before it plus one, so a stray datagram cannot guess the next.
expect_unguessable() { # ID...
  /usr/bin/python3 -c 'import sys
ids = [int(x) for x in sys.argv[1:]]
sys.exit(not (len(set(ids)) == len(ids) and all(b != (a + 1) & 0xFFFF for a, b in zip(ids, ids[1:]))))' "$@" ||
    sb_fail "guessable IDs: $*"
}
log_text() { cat "$log" 2>/dev/null || true; }

echo "== last server first, fresh unguessable IDs across servers and lookups"
start $'nameserver 127.0.0.2\nnameserver 127.0.0.3\n'
resolve lastok.example.com 192.0.2.2
expect_asked 127.0.0.3 3
expect_asked 127.0.0.2 1
# shellcheck disable=SC2046
expect_unguessable $(ids 127.0.0.3) $(ids 127.0.0.2)
first=$(ids 127.0.0.3)
# The server string is logged as stored, its line feed included, and the
# first line of the log is that of the server asked first.
/usr/bin/python3 - "$log" <<'PY' || sb_fail "server lines of the log: $(log_text)"
import sys
l = open(sys.argv[1]).read()
s3 = l.find(" DNS-LOOKUP dns : 127.0.0.3\n\n")
s2 = l.find(" DNS-LOOKUP dns : 127.0.0.2\n\n")
sys.exit(not (0 <= s3 < s2 and l.rfind("DEBUG:   dns_lookup L#", 0, s3) == 0))
PY
: > "$queries"
resolve lastok.example.com 192.0.2.2
[ "$(ids 127.0.0.3)" != "$first" ] || sb_fail "the next lookup asked with the same IDs: $first"
# shellcheck disable=SC2046
expect_unguessable ${first##* } $(ids 127.0.0.3)

echo "== IPv6 servers asked the same way; AAAA once, to the server that answered A"
start $'nameserver 127.0.0.2\nnameserver fd00::3\nnameserver fe80::4%lo\n'
resolve lastok.example.com "192.0.2.2 fd00::2" all
[ "$(asked_as 1)/$(asked_as 4)" = "fe80::4%lo fe80::4%lo fe80::4%lo fd00::3 fd00::3 fd00::3 127.0.0.2 127.0.0.2 /A A A A A A A AAAA " ] ||
  sb_fail "asked: $(cat "$queries")"
# shellcheck disable=SC2046
expect_unguessable $(ids fe80::4%lo) $(ids fd00::3) $(ids 127.0.0.2)
# No server answered the A question without an error: no AAAA question.
start $'nameserver fd00::3\n'
resolve lastok.bc 0 all
[ "$(asked_as 4)" = "A A A " ] || sb_fail "asked: $(cat "$queries")"
# A truncated reply whose TCP connection is refused spends the attempt, unused.
nft 'add table inet t; add chain inet t in { type filter hook input priority 0; }; add rule inet t in ip daddr 127.0.0.4 tcp dport 53 reject with tcp reset'
start $'nameserver 127.0.0.4\n'
resolve truncated.bc 0
[ "$(asked_as 5)" = "udp udp udp " ] || sb_fail "asked: $(cat "$queries")"

echo "== only the first three servers, the third first"
start $'nameserver 127.0.0.2\nnameserver 127.0.0.3\nnameserver 127.0.0.4\nnameserver 127.0.0.5\nnameserver 127.0.0.6\n'
resolve lastok.bc 192.0.2.2
expect_asked 127.0.0.4 3
expect_asked 127.0.0.3 3
expect_asked 127.0.0.2 1
expect_asked 127.0.0.5 0
expect_asked 127.0.0.6 0
# shellcheck disable=SC2046
expect_unguessable $(ids 127.0.0.4) $(ids 127.0.0.3) $(ids 127.0.0.2)

echo "== every attempt spent: 0, and nothing logged past the server line"
start $'nameserver 127.0.0.5\n'
resolve lastok.bc 0
expect_asked 127.0.0.5 3
[ "$(log_text | grep -c .)" = 1 ] && grep -q "DNS-LOOKUP dns : 127.0.0.5$" "$log" &&
  [ "$(tail -c 2 "$log" | od -An -c | tr -d ' ')" = '\n\n' ] || sb_fail "log: $(log_text)"

echo "== addresses are not looked up"
start $'nameserver 127.0.0.3\n'
resolve 192.0.2.10 192.0.2.10
resolve 0.0.0.0 0
[ ! -s "$queries" ] || sb_fail "asked: $(cat "$queries")"
[ -z "$(log_text)" ] || sb_fail "log: $(log_text)"
# All ones is the parser's failure value: that text is asked for.
resolve 255.255.255.255 192.0.2.3
[ "$(awk '{ print $3 }' "$queries")" = 255.255.255.255 ] || sb_fail "asked: $(cat "$queries")"

echo "== one trailing dot is the same name"
start $'nameserver 127.0.0.3\n'
resolve a.bc. 192.0.2.3
[ "$(awk '{ print $3 }' "$queries")" = a.bc ] || sb_fail "asked: $(cat "$queries")"

echo "== refused names send nothing"
start $'nameserver 127.0.0.2\n'
for bad in a..bc .a.bc a.bc.. . "" "$(printf 'x%.0s' $(seq 64)).com" "$(printf 'y%.0s' $(seq 300))"; do
  resolve "$bad" 0
done
[ ! -s "$queries" ] || sb_fail "asked: $(cat "$queries")"
grep -q "dns_lookup L#" "$log" || sb_fail "refusals not logged"
! grep -q "DNS-LOOKUP dns" "$log" || sb_fail "a server was named: $(log_text)"

echo "== no usable name server"
none="DNS-LOOKUP: no dns server address in /tmp/resolv.conf"
start
resolve a.bc 0
grep -qF "$none" "$log" || sb_fail "missing file: $(log_text)"
start $'search lan\nnameserver \n'
resolve a.bc 0
[ "$(head -c 22 "$log")" = "DEBUG:   dns_lookup L#" ] && grep -qF "$none" "$log" || sb_fail "empty entry: $(log_text)"
[ ! -s "$queries" ] || sb_fail "asked: $(cat "$queries")"
echo PASS

#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# The resolver against real dnsmasq servers on loopback: A records, CNAME
# chains, NXDOMAIN, and three servers asked last-first; servers on IPv6
# addresses, AAAA records, and answers too long for UDP asked again over TCP.
set -euo pipefail
source "$KESTREL_SOURCE_DIR/tests/sandbox/lib.sh"
driver="sb_target $KESTREL_BINARY_DIR/tests/resolv/dns_driver"

# usage: start_dnsmasq ADDR [dnsmasq options...]; example.com is answered
# locally, so unknown names there are NXDOMAIN.
start_dnsmasq() {
  local addr=$1
  shift
  /usr/sbin/dnsmasq --no-resolv --no-hosts --user=root --port=53 --bind-interfaces \
    --listen-address="$addr" --pid-file="$sb_dir/dnsmasq-$addr.pid" \
    --log-queries --log-facility="$sb_dir/dnsmasq-$addr.log" --local=/example.com/ "$@" \
    || sb_fail "dnsmasq did not start on $addr"
}
queries() { grep -c "query\[${3:-A}\] $2 from" "$sb_dir/dnsmasq-$1.log" || true; }
# Of those, the ones dnsmasq answered over TCP: in a child process of its own.
over_tcp() { # ADDR NAME TYPE
  grep "query\[$3\] $2 from" "$sb_dir/dnsmasq-$1.log" | grep -vc "dnsmasq\[$(cat "$sb_dir/dnsmasq-$1.pid")\]" || true
}
resolve() { $driver resolve "$@"; }
check() { # NAME ADDRESS... [CALL: resolve (IPv4 only, the default) or all]
  local got
  got=$($driver "${3:-resolve}" "$1")
  [ "$got" = "$1 $2" ] || sb_fail "$1 resolved as '$got', wanted $2"
}

start_dnsmasq 127.0.0.2 --host-record=ftp.example.com,192.0.2.10 \
  --cname=alias1.example.com,alias2.example.com --cname=alias2.example.com,ftp.example.com
printf 'search example.com\nnameserver 127.0.0.2\n' > /tmp/resolv.conf
check ftp.example.com 192.0.2.10
check alias1.example.com 192.0.2.10
check nope.example.com 0
[ "$(queries 127.0.0.2 nope.example.com)" = 3 ] || sb_fail "NXDOMAIN not asked three times"
grep -q "nope.example.com is NXDOMAIN" "$sb_dir/dnsmasq-127.0.0.2.log" || sb_fail "no NXDOMAIN answer seen"
grep -q "alias1.example.com is <CNAME>" "$sb_dir/dnsmasq-127.0.0.2.log" || sb_fail "no CNAME answer seen"

# Three servers: only the first one listed knows multi, every one knows both.
start_dnsmasq 127.0.0.3 --host-record=multi.example.com,192.0.2.33 --host-record=both.example.com,192.0.2.33
start_dnsmasq 127.0.0.4 --host-record=both.example.com,192.0.2.44
start_dnsmasq 127.0.0.5 --host-record=both.example.com,192.0.2.55
printf 'nameserver 127.0.0.3\nnameserver 127.0.0.4\nnameserver 127.0.0.5\n' > /tmp/resolv.conf
check both.example.com 192.0.2.55
check multi.example.com 192.0.2.33
counts="$(queries 127.0.0.5 multi.example.com) $(queries 127.0.0.4 multi.example.com) $(queries 127.0.0.3 multi.example.com)"
[ "$counts" = "3 3 1" ] || sb_fail "multi.example.com asked at .5 .4 .3: $counts"
counts="$(queries 127.0.0.5 both.example.com) $(queries 127.0.0.4 both.example.com) $(queries 127.0.0.3 both.example.com)"
[ "$counts" = "1 0 0" ] || sb_fail "both.example.com asked at .5 .4 .3: $counts"
# IPv6 servers, one link-local with a zone; both families from the server
# that answered the A question; a name too long for UDP (a CNAME chain of
# over 512 bytes) asked again over TCP, for A and AAAA alike.
sb_ipv6 fd00::53 fe80::53
label=$(printf 'l%.0s' $(seq 60)) chain=() name=long.example.com
for i in 1 2 3 4; do
  chain+=("--cname=$name,$i$label.$label.$label.example.com") name=$i$label.$label.$label.example.com
done
start_dnsmasq fd00::53 --host-record=both.example.com,192.0.2.61,fd00::61 --host-record=six.example.com,fd00::66 \
  --host-record="$name,192.0.2.69,fd00::69" "${chain[@]}"
start_dnsmasq fe80::53 --host-record=link.example.com,192.0.2.62
printf 'nameserver fd00::53\nnameserver fe80::53%%lo\n' > /tmp/resolv.conf
check both.example.com "192.0.2.61 fd00::61" all
counts="$(queries fe80::53 both.example.com) $(queries fe80::53 both.example.com AAAA)"
counts+=" $(queries fd00::53 both.example.com) $(queries fd00::53 both.example.com AAAA)"
[ "$counts" = "3 0 1 1" ] || sb_fail "both.example.com: A and AAAA at fe80::53, then at fd00::53: $counts"
check link.example.com 192.0.2.62
check six.example.com fd00::66 all
check long.example.com "192.0.2.69 fd00::69" all
counts="$(queries fd00::53 long.example.com) $(over_tcp fd00::53 long.example.com A)"
counts+=" $(queries fd00::53 long.example.com AAAA) $(over_tcp fd00::53 long.example.com AAAA)"
[ "$counts" = "2 1 2 1" ] || sb_fail "long.example.com: A, over TCP, AAAA, over TCP: $counts"
printf 'nameserver fe80::53%%1\n' > /tmp/resolv.conf
check link.example.com 192.0.2.62
echo PASS

#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Times the resolver against dnsmasq on loopback, inside the test sandbox:
# 200 lookups one process each and all in one process, beside the C
# library's getaddrinfo (one process each and all in one process).
# usage (as root): bench/dns_bench.sh [BUILD_DIR] [COUNT]
set -euo pipefail

if [ "${1:-}" != "--inside" ]; then
  src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  build=$(cd "${1:-$src/build/native}" && pwd)
  [ -x "$build/tests/resolv/dns_driver" ] || { echo "no dns_driver in $build (build with tests)" >&2; exit 2; }
  export KESTREL_BINARY_DIR=$build
  exec "$src/tests/sandbox/sandbox.sh" -- bash "$src/bench/dns_bench.sh" --inside "$build" "${2:-200}"
fi

build=$2 count=$3
driver=$build/tests/resolv/dns_driver
name=ftp.bench.example.com
/usr/sbin/dnsmasq --no-resolv --no-hosts --user=root --port=53 --bind-interfaces \
  --listen-address=127.0.0.2 --pid-file=/sandbox/dnsmasq.pid --log-facility=/sandbox/dnsmasq.log \
  --host-record=$name,192.0.2.10
echo "nameserver 127.0.0.2" > /tmp/resolv.conf
echo "nameserver 127.0.0.2" > /etc/resolv.conf
echo "hosts: dns" > /etc/nsswitch.conf

[ "$("$driver" resolve $name)" = "$name 192.0.2.10" ] || { echo "resolver does not answer" >&2; exit 1; }
"$driver" getaddrinfo 1 $name >/dev/null || { echo "getaddrinfo does not answer" >&2; exit 1; }

now() { date +%s%N; }
declare -A took=([ours_proc]=0 [gai_proc]=0 [ours_loop]=0 [gai_loop]=0)
# Adds the time of one run to its total.
run() {
  local key=$1 t0
  shift
  t0=$(now)
  "$@" >/dev/null
  took[$key]=$((took[$key] + $(now) - t0))
}
per_process() { for _ in $(seq "$1"); do "${@:2}" >/dev/null; done; }

# Interleaved rounds, so that load from elsewhere falls on all four alike.
rounds=5
share=$((count / rounds))
count=$((share * rounds))
for _ in $(seq $rounds); do
  run ours_proc per_process $share "$driver" resolve $name
  run gai_proc per_process $share "$driver" getaddrinfo 1 $name
  run ours_loop "$driver" loop $share $name
  run gai_loop "$driver" getaddrinfo $share $name
done

row() {
  awk -v what="$1" -v ns="${took[$2]}" -v n="$count" 'BEGIN {
    printf "%-44s %10.1f %12.1f %12.0f\n", what, ns / 1e6, ns / 1e3 / n, n / (ns / 1e9) }'
}
printf "%d lookups of %s via dnsmasq on 127.0.0.2\n\n" "$count" "$name"
printf "%-44s %10s %12s %12s\n" "" "total ms" "per lookup us" "lookups/s"
row "resolve_dns, one process per lookup" ours_proc
row "getaddrinfo, one process per lookup" gai_proc
row "resolve_dns, all in one process" ours_loop
row "getaddrinfo, all in one process" gai_loop
echo
awk -v a="${took[ours_proc]}" -v b="${took[gai_proc]}" -v c="${took[ours_loop]}" -v d="${took[gai_loop]}" 'BEGIN {
  printf "per process: resolve_dns takes %.2fx the time of getaddrinfo\n", a / b
  printf "one process: resolve_dns does %.2fx the lookups/s of getaddrinfo (target >= 1)\n", d / c }'

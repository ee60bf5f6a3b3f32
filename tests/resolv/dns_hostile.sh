#!/usr/bin/env bash
# The resolver against a scripted server that sends the replies a real server
# will not: wrong IDs, CNAME only, counts and lengths past the end, pointer
# loops, replies past 512 bytes.  Every lookup must end with the right
# address or 0, without a crash and without waiting for a reply.
set -euo pipefail
source "$KESTREL_SOURCE_DIR/tests/sandbox/lib.sh"
here=$KESTREL_SOURCE_DIR/tests/resolv
driver="sb_target $KESTREL_BINARY_DIR/tests/resolv/dns_driver"
log=$sb_dir/queries.log

/usr/bin/python3 "$here/dns_scripted_server.py" "$log" 127.0.0.2 127.0.0.3 > "$sb_dir/server.out" &
for _ in $(seq 50); do grep -q ready "$sb_dir/server.out" && break; sleep 0.1; done
grep -q ready "$sb_dir/server.out" || sb_fail "scripted server did not start"
printf 'nameserver 127.0.0.2\nnameserver 127.0.0.3\n' > /tmp/resolv.conf

names="wrongid late cnameonly pastend manyquestions rdlength labelpast short loop pointerq chaos afterbuffer longreply nxdomain"
out=$($driver resolve $(for n in $names; do echo "$n.test"; done))
echo "$out"

expect() {
  grep -qx "$1.test $2" <<<"$out" || sb_fail "$1.test: wanted $2"
}
for n in wrongid cnameonly pastend manyquestions rdlength labelpast short afterbuffer nxdomain; do
  expect "$n" 0
done
for n in late loop pointerq chaos longreply; do
  expect "$n" 192.0.2.77
done

# IDs rise by one per attempt across both servers, the last one listed first.
ids() { awk -v n="$1.test" '$3 == n { printf "%s:%s ", $1, $2 }' "$log"; }
want_ids="127.0.0.3:1314 127.0.0.3:1315 127.0.0.3:1316 127.0.0.2:1317 127.0.0.2:1318 127.0.0.2:1319 "
for n in wrongid cnameonly pastend short; do
  [ "$(ids $n)" = "$want_ids" ] || sb_fail "$n.test asked as: $(ids $n)"
done
[ "$(ids late)" = "127.0.0.3:1314 127.0.0.3:1315 " ] || sb_fail "late.test asked as: $(ids late)"
[ "$(ids loop)" = "127.0.0.3:1314 " ] || sb_fail "loop.test asked as: $(ids loop)"
echo "PASS"

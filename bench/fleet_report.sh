#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# kestrel-fleet report over a synthetic access log of LINES lines from
# ROUTERS routers (combined format; kestreld's User-Agents, a few foreign
# and unidentified lines, times out of order with offsets), plain and
# gzip-compressed.  Prints lines per second and peak memory of kestrel-fleet
# and of an awk script making the same counts, and whether the counts agree.
# A measuring script, not a test: it prints figures and judges nothing.
#
# usage: bench/fleet_report.sh [LINES [ROUTERS]]   (after a native build of kestrel-fleet)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
lines=${1:-1000000}
routers=${2:-200000}
fleet=${KESTREL_FLEET:-$root/build/native/publish/kestrel-fleet}
[ -x "$fleet" ] || { cmake --preset native >/dev/null && cmake --build --preset native --target kestrel-fleet >/dev/null; }

work=$(mktemp -d /tmp/fleet_report.XXXXXX)
trap 'rm -rf "$work"' EXIT

python3 - "$lines" "$routers" > "$work/access.log" <<'PY'
import random, sys
lines, routers = int(sys.argv[1]), int(sys.argv[2])
rng = random.Random(21)
ids = ["%012x" % rng.getrandbits(48) for _ in range(routers)]
months = ["Dec"]
offsets = [("+0000", 0), ("+0200", 7200), ("-0500", -18000)]
out = sys.stdout
base = 1765238400  # 2025-12-09 00:00 UTC
for n in range(lines):
    r = n % routers if n < routers else rng.randrange(routers)
    t = base + n * 86400 // lines + rng.randrange(-600, 600)
    off, secs = rng.choice(offsets)
    lt = t + secs
    day, rem = divmod(lt - base, 86400)
    stamp = "%02d/Dec/2025:%02d:%02d:%02d %s" % (9 + day, rem // 3600, rem // 60 % 60, rem % 60, off)
    k = rng.random()
    if k < 0.01:
        ua = "Mozilla/5.0 (X11; Linux x86_64)"
    elif k < 0.02:
        ua = "kestreld/1.0.0 (fleet; id=-; installed=2.0; result=current; published=2.0; refused=-)"
    else:
        p = rng.random()
        inst, res, pub, ref = (("2.1", "installed", "2.1", "-") if p < 0.7 else
                               ("2.0", "rolled_back", "2.1", "2.1") if p < 0.75 else
                               ("2.0", "waiting", "2.1", "-") if p < 0.9 else
                               ("2.0", "failed", "-", "-") if p < 0.95 else
                               ("2.0", "current", "2.0", "-"))
        ua = "kestreld/1.0.0 (fleet; id=%s; installed=%s; result=%s; published=%s; refused=%s)" % (ids[r], inst, res, pub, ref)
    out.write('10.%d.%d.%d - - [%s] "GET /sw-apps/dbg_log_collect/fleet/fileinfo.txt HTTP/1.1" 200 412 "-" "%s"\n'
              % (r >> 16 & 255, r >> 8 & 255, r & 255, stamp, ua))
PY
gzip -1 -c "$work/access.log" > "$work/access.log.gz"
: > "$work/empty.log"

# The same counts in awk: the latest line of each router by its time with
# the offset applied (days counted from the date, as kestrel-fleet does).
cat > "$work/count.awk" <<'AWK'
BEGIN { split("Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec", m, " "); for (i = 1; i <= 12; i++) mon[m[i]] = i }
function days(y, mo, d) { if (mo <= 2) { y--; mo += 12 } return 365 * y + int(y / 4) - int(y / 100) + int(y / 400) + int((153 * (mo - 3) + 2) / 5) + d }
{
  lines++
  if (!match($0, /\[[0-9][0-9]\/[A-Z][a-z][a-z]\/[0-9][0-9][0-9][0-9]:[0-9][0-9]:[0-9][0-9]:[0-9][0-9] [-+][0-9][0-9][0-9][0-9]\]/)) { skipped++; next }
  ts = substr($0, RSTART + 1, RLENGTH - 2)
  if (!match($0, /"kestreld\/[^ ]+ \([^;]+; id=[^;]+; installed=[^;]+; result=[^;]+; published=[^;]+; refused=[^)]+\)"$/)) { skipped++; next }
  ua = substr($0, RSTART + 1, RLENGTH - 3)
  n = split(ua, f, /; /)
  sub(/.*\(/, "", f[1]); for (i = 2; i <= n; i++) sub(/^[a-z]+=/, "", f[i])
  if (f[2] == "-") { unidentified++; next }
  t = ((days(substr(ts, 8, 4), mon[substr(ts, 4, 3)], substr(ts, 1, 2)) * 24 + substr(ts, 13, 2)) * 60 + substr(ts, 16, 2)) * 60 + substr(ts, 19, 2)
  o = (substr(ts, 23, 2) * 60 + substr(ts, 25, 2)) * 60
  t -= substr(ts, 22, 1) == "+" ? o : -o
  id = f[2]
  if (id in when && t < when[id]) next
  when[id] = t; inst[id] = f[3]; res[id] = f[4]; pub[id] = f[5]; ref[id] = f[6]
}
END {
  for (id in when) {
    routers++; byinst[inst[id]]++
    on += inst[id] == V; rolled += ref[id] == V; waiting += res[id] == "waiting" && pub[id] == V
    failed += res[id] == "failed"; other += res[id] == "refused" && ref[id] != V
  }
  printf "lines %d skipped %d unidentified %d routers %d on_version %d rolled_back %d waiting %d failed %d refused_other %d\n",
    lines, skipped, unidentified, routers, on, rolled, waiting, failed, other
}
AWK

# Runs a command with its output to FILE; prints seconds and peak resident kB.
measure() { # OUT COMMAND...
  local out=$1
  shift
  /usr/bin/time -f '%e %M' -o "$work/time" "$@" > "$out"
  cat "$work/time"
}

# kestrel-fleet's JSON as the awk script's line.
from_json() {
  python3 -c 'import json, sys
r = json.load(sys.stdin); m = r["modules"][0]
print("lines %d skipped %d unidentified %d routers %d on_version %d rolled_back %d waiting %d failed %d refused_other %d" % (
  r["lines"], r["skipped"], r["unidentified"], m["routers"], m["on_version"], m["rolled_back"], m["waiting"], m["failed"],
  m["refused_other"]))'
}

read -r _ base_kb < <(measure "$work/empty.out" "$fleet" report --json "$work/empty.log")
echo "kestrel-fleet report: $lines lines, $routers routers ($(du -m "$work/access.log" | cut -f1) MB plain, $(du -m "$work/access.log.gz" | cut -f1) MB gzip)"
printf '%-28s %12s %14s %13s %16s\n' run seconds "lines/s" "peak kB" "bytes/router"
row() { # NAME SECONDS KB [BASE_KB]
  awk -v n="$1" -v s="$2" -v kb="$3" -v base="${4:-}" -v l="$lines" -v r="$routers" 'BEGIN {
    printf "%-28s %12.2f %14.0f %13d %16s\n", n, s, (s > 0 ? l / s : 0), kb, (base == "" ? "-" : sprintf("%.0f", (kb - base) * 1024 / r)) }'
}
read -r s kb < <(measure "$work/plain.json" "$fleet" report --json --version 2.1 "$work/access.log")
row "kestrel-fleet, plain" "$s" "$kb" "$base_kb"
read -r s kb < <(measure "$work/gzip.json" "$fleet" report --json --version 2.1 "$work/access.log.gz")
row "kestrel-fleet, gzip" "$s" "$kb" "$base_kb"
read -r s kb < <(measure "$work/awk.plain" awk -v V=2.1 -f "$work/count.awk" "$work/access.log")
row "awk, plain ($(basename "$(readlink -f "$(command -v awk)")"))" "$s" "$kb"
read -r s kb < <(measure "$work/awk.gzip" sh -c 'gzip -dc "$1" | awk -v V=2.1 -f "$2"' _ "$work/access.log.gz" "$work/count.awk")
row "gzip -dc | awk" "$s" "$kb"
echo "(kestrel-fleet on an empty log: $base_kb kB, subtracted for bytes/router)"

echo "kestrel-fleet: $(from_json < "$work/plain.json")"
echo "awk:           $(cat "$work/awk.plain")"
if [ "$(from_json < "$work/plain.json")" = "$(cat "$work/awk.plain")" ] &&
   [ "$(from_json < "$work/gzip.json")" = "$(cat "$work/awk.gzip")" ]; then
  echo "counts agree: yes"
else
  echo "counts agree: NO"
fi

#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# A fleet in a box: N simulated routers, each with its own serial number and
# its own /tmp and /var/run, run the native kestreld against one update
# server (nginx in the sandbox) through five steps: a release at rollout=10,
# the same at 50, then 100, then a release the service cannot start on, then
# another such release at rollout=20 that kestrel-fleet halts from the
# server's access log, run after each wave of routers.
# Prints for each step how many routers took the release (with the range a
# fair draw allows), how many rolled back, the server's request count and
# the seconds per router; for the last, each halt's line, how many routers
# took the release before the halt, and the report table at the end.  A
# measuring script, not a test.
#
# usage: bench/fleet.sh [N]   (as root, after a native build; N defaults to 200)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
routers=${1:-200}
parallel=${FLEET_PARALLEL:-4}

if [ "${2:-}" != --inside ]; then
  cd "$root"
  cmake --preset native >/dev/null
  cmake --build --preset native --target kestreld kestrel-publish kestrel-fleet kestrel_sleep_shim >/dev/null
  export KESTRELD=$root/build/native/kestreld
  export KESTREL_PUBLISH=$root/build/native/publish/kestrel-publish
  export KESTREL_FLEET=$root/build/native/publish/kestrel-fleet
  export KESTREL_SOURCE_DIR=$root KESTREL_BINARY_DIR=$root/build/native
  export KESTREL_SLEEP_SHIM=$root/build/native/tests/libkestrel_sleep_shim.so
  exec bash "$root/tests/sandbox/sandbox.sh" -- bash "$root/bench/fleet.sh" "$routers" --inside
fi

source "$root/tests/e2e/e2e_lib.sh"
module=fleet
fleet=$sb_dir/fleet
e2e_setup "$module"
e2e_config "dbg_ftp_path=$E2E_HTTPS_HOST"
sed -i '/^oru_log=/d' "$E2E_CONFIG"   # the log off, as on most routers
e2e_start_server
for v in good broken; do e2e_make_payload "$sb_dir/$v.cfg" "$v"; done
# The fake service cannot start on the broken release.
e2e_md5 "$sb_dir/broken.cfg" | tr 'A-F' 'a-f' > "$E2E_ORU_FAIL"
for i in $(seq 1 "$routers"); do
  mkdir -p "$fleet/$i/tmp" "$fleet/$i/run"
  printf 'FLEET-%05d\n' "$i" > "$fleet/$i/tmp/Seria_Number"
done

# The daemon and the shim run from the sandbox's own directory: a checkout
# under /tmp would be hidden by each router's /tmp.
mkdir -p "$sb_dir/bin"
cp "$KESTRELD" "$KESTREL_SLEEP_SHIM" "$sb_dir/bin/"
KESTRELD=$sb_dir/bin/${KESTRELD##*/} KESTREL_SLEEP_SHIM=$sb_dir/bin/${KESTREL_SLEEP_SHIM##*/}

# One router's run: its own /tmp and /var/run in a mount namespace of its
# own; the detached run is over once its pid file is gone.
run_router() {
  local d=$1/$2
  unshare --mount -- sh -c 'mount --bind "$1/tmp" /tmp && mount --bind "$1/run" /var/run &&
    exec env LD_PRELOAD="$2" KESTREL_SLEEP_LOG= "$3" 2>"$1/err"' _ "$d" "$KESTREL_SLEEP_SHIM" "$KESTRELD"
  while [ -e "$d/run/kestreld.pid" ]; do sleep 0.02; done
}
export -f run_router
export KESTRELD KESTREL_SLEEP_SHIM

publish() { sb_target "$KESTREL_PUBLISH" "$@" >/dev/null || sb_fail "kestrel-publish $*"; }

# Routers whose record (or refused version) is VERSION.
count() { # FILE VERSION
  { grep -lx -- "$2" "$fleet"/*/tmp/dbg_log_collect/"$1" 2>/dev/null || true; } | wc -l
}

# The range a fair draw of PERCENT gives N routers with 99.7 % certainty.
fair_range() {
  awk -v n="$routers" -v p="$1" 'BEGIN {
    m = n * p / 100; s = 3 * sqrt(n * p / 100 * (1 - p / 100))
    lo = int(m - s); if (lo < 0) lo = 0; hi = int(m + s + 0.999); if (hi > n) hi = n
    printf "%d-%d", lo, hi }'
}

step() { # TITLE VERSION PERCENT (- when none should take it)
  local log start took rolled fair
  log=$(sb_nginx_log "$E2E_SERVER")
  : > "$log"
  start=$(date +%s.%N)
  seq 1 "$routers" | xargs -P "$parallel" -I{} bash -c 'run_router "$0" {}' "$fleet"
  took=$(count dbg_version "$2")
  rolled=$(count refused "$2")
  case $3 in
    -) fair=- ;;
    100) fair=$routers ;;
    *) fair=$(fair_range "$3") ;;
  esac
  printf '%-34s %5s %9s %11s %9s %11s\n' "$1" "$took" "$fair" "$rolled" "$(wc -l < "$log")" \
    "$(awk -v s="$start" -v e="$(date +%s.%N)" -v n="$routers" 'BEGIN { printf "%.3f", (e - s) / n }')"
}

echo "fleet of $routers routers, $parallel at a time, one update server"
printf '%-34s %5s %9s %11s %9s %11s\n' step took "fair" "rolled back" requests "s/router"
publish --rollout 10 "$E2E_WWW" "$module" 2.0 "$sb_dir/good.cfg"
step "2.0 at rollout=10" 2.0 10
publish --rollout 50 --update-rollout "$E2E_WWW" "$module"
step "2.0 at rollout=50" 2.0 50
publish --rollout 100 --update-rollout "$E2E_WWW" "$module"
step "2.0 at rollout=100" 2.0 100
publish "$E2E_WWW" "$module" 2.1 "$sb_dir/broken.cfg"
step "2.1 (the service fails on it)" 2.1 -
echo "after the last step: $(count dbg_version 2.0) routers on 2.0, $(count refused 2.1) remember 2.1 as refused"

# The error threshold: a bad release at rollout=20, kestrel-fleet halt run
# after each wave of routers, as cron would between their runs.
waves=5
per=$(( (routers + waves - 1) / waves ))
log=$(sb_nginx_log "$E2E_SERVER")
: > "$log"
publish --rollout 20 "$E2E_WWW" "$module" 2.2 "$sb_dir/broken.cfg"
halted=-
for w in $(seq 1 "$waves"); do
  first=$(( (w - 1) * per + 1 )) last=$(( w * per < routers ? w * per : routers ))
  [ "$first" -le "$last" ] || break
  seq "$first" "$last" | xargs -P "$parallel" -I{} bash -c 'run_router "$0" {}' "$fleet"
  rc=0
  verdict=$("$KESTREL_FLEET" halt --max-rolled-back 10 --min-routers 5 "$E2E_WWW" "$module" "$log") || rc=$?
  echo "after wave $w (routers $first-$last): $verdict"
  [ "$rc" -ne 3 ] || halted=$w
  [ "$rc" -eq 0 ] || [ "$rc" -eq 3 ] || sb_fail "kestrel-fleet halt exited with $rc"
done
rolled=$(count refused 2.2)
running=$(count dbg_version 2.2)
echo "2.2 at rollout=20, halted after wave $halted: $((rolled + running)) routers took it before the halt," \
  "$rolled rolled back, $running run it"
"$KESTREL_FLEET" report "$log"

#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# The same update on the virtual router, done by kestreld (a signed release
# over HTTPS, started at boot by the package's init script) and by
# bench/shell_updater.sh (busybox sh and curl: what a firmware team would
# write instead), RUNS boots each, taken in turn.  Prints the medians of what
# the guest's kernel saw (tests/vrouter/guest/run_peak.c): the time from the
# start to the service's restart, the updater's own peak memory and the
# largest process of the run, with kestreld's ratios to the script.  Every
# boot must have installed the release.  A measuring script, not a test.
#
# usage: bench/vrouter.sh [RUNS]   (as root; RUNS defaults to 5)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
runs=${1:-5}

if [ "${2:-}" != --inside ]; then
  cd "$root"
  cmake --preset router >/dev/null
  cmake --build --preset router --target vrouter_image kestrel-publish >/dev/null
  export KESTRELD=$root/build/router/kestreld
  export KESTREL_PUBLISH=$root/build/router/publish/kestrel-publish
  export KESTREL_SOURCE_DIR=$root KESTREL_BINARY_DIR=$root/build/router
  export KESTREL_SLEEP_SHIM=$root/build/router/tests/libkestrel_sleep_shim.so
  export KESTREL_EMULATOR=qemu-arm
  exec bash "$root/tests/sandbox/sandbox.sh" -- bash "$root/bench/vrouter.sh" "$runs" --inside
fi

source "$root/tests/vrouter/vrouter_lib.sh"
vr_setup
e2e_make_payload "$sb_dir/payload.cfg" "for $VR_MODULE"
e2e_start_server "$VR_HOST"
vr_release "$E2E_WWW" 1.2.0 "$sb_dir/payload.cfg"
cp "$root/bench/shell_updater.sh" "$VR_LAB/"

# One boot of a router fresh from the factory (empty flash, nothing
# recorded), no splay, the log off as on most routers.  Prints the figures.
boot() { # kestreld|script
  rm -rf "$VR_FLASH" "$VR_LAB/out" "$VR_LAB/oru.calls"
  mkdir -p "$VR_FLASH/etc/kestrel" "$VR_LAB/out"
  vr_configure "dbg_ftp_path=$E2E_HTTPS_HOST" dbg_splay=0 oru_log=0
  if [ "$1" = script ]; then vr_boot vrouter.run=/lab/shell_updater.sh; else vr_boot; fi
  e2e_assert_same_file "$VR_LAB/out/dbg-gen.cfg" "$sb_dir/payload.cfg" "$1: installed file"
  e2e_assert_content "$VR_LAB/out/dbg_version" 1.2.0 "$1: recorded version"
  e2e_assert_content "$VR_LAB/oru.calls" $'stop\nstart\n' "$1: service calls"
  local figures
  figures=$(vr_measured)
  [[ $figures =~ ^[0-9.]+\ [0-9.]+\ [1-9][0-9]*\ [1-9][0-9]*$ ]] || e2e_fail "$1: no figures from the guest: $figures"
  echo "$figures"
}

: > "$sb_dir/kestreld" && : > "$sb_dir/script"
for i in $(seq 1 "$runs"); do
  for who in kestreld script; do
    boot "$who" >> "$sb_dir/$who"
    read -r restart run own largest < <(tail -n 1 "$sb_dir/$who")
    echo "boot $i, $who: restart at $restart s, over at $run s, own peak $own KiB, largest process $largest KiB"
  done
done

median() { # FILE COLUMN
  awk -v c="$2" '{ print $c }' "$1" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}
row() { # TITLE COLUMN
  local k s
  k=$(median "$sb_dir/kestreld" "$2") s=$(median "$sb_dir/script" "$2")
  printf '%-38s %10s %14s %9s\n' "$1" "$k" "$s" "$(awk -v k="$k" -v s="$s" 'BEGIN { printf "%.2f", k / s }')"
}

echo
echo "The same update on the virtual router (qemu-system-arm -M virt, Cortex-A15, one core, 128 MiB),"
echo "median of $runs boots each, as the guest's kernel saw it:"
printf '%-38s %10s %14s %9s\n' "" kestreld "shell script" ratio
row "start to service restart (s)" 1
row "start to the run's last exit (s)" 2
row "updater's own peak memory (KiB)" 3
row "largest process of the run (KiB)" 4
cat <<'TEXT'

Own peak: VmHWM of kestreld's largest process (read as each exits), or of
the script's shell (Debian's busybox-static: a static binary, larger when
resident than OpenWrt's busybox on musl).  Largest process: the highest
peak resident memory of any process of the run (ru_maxrss over all of
them): curl in both.  kestreld's run also fetches and checks two
signatures (two more curl runs, two usign runs).

What the script does not do, and kestreld does:
  - signatures: the release's and the payload's are not checked (usign);
    anyone who can answer for the server can install a configuration;
  - rollback: no health check after the restart, no return to the last
    good file, no refused version, no floor against an older release that
    outlives a reboot;
  - caps: curl takes whatever the server sends into /tmp (no size limits
    on the control file, the signatures or the payload), and no run limit;
  - the FTP fallback and its own resolver, the connectivity probe before
    the default server, the staged rollout and the status file;
  - a guard against a second run (cron during a slow run), the splay.
TEXT

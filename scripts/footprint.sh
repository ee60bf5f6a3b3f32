#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Measures the daemon's footprint and prints each figure with its target:
#   - the router build (ARM, musl): the stripped kestreld as the flash holds
#     it (xz -9e, as in the image's squashfs) and as the package carries it
#     (gzip -9), its raw size, the libraries and loader it needs and the size
#     of libkestrel.a;
#   - peak resident memory of the daemon during a native update run (under
#     qemu the figure would be the emulator's);
#   - wall time of that run, from the start to the end of the detached run.
# A measuring script, not a test: it prints figures and judges nothing.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
runs=${FOOTPRINT_RUNS:-5}

if [ "${1:-}" = "--inside" ]; then
  # In the sandbox: the happy path (server configured, so no probe) $runs
  # times, one line of figures per run.
  source "$root/tests/e2e/e2e_lib.sh"
  e2e_setup abc
  e2e_config "dbg_ftp_path=$E2E_HTTPS_HOST"
  e2e_start_server
  e2e_make_payload "$sb_dir/payload.cfg"
  e2e_publish abc 1.0.12 "$sb_dir/payload.cfg"
  export KESTREL_HWM_LOG=$sb_dir/hwm.log
  for _ in $(seq 1 "$runs"); do
    e2e_reset
    : > "$KESTREL_HWM_LOG"
    e2e_run
    e2e_assert_ran
    e2e_assert_same_file /tmp/dbg-gen.cfg "$sb_dir/payload.cfg" "installed payload"
    # The supervisor and the worker that does the run each report; the
    # larger is the run's peak.
    hwm=$(awk '{ print $2 }' "$KESTREL_HWM_LOG" | sort -n | tail -n 1)
    [ -n "$hwm" ] || sb_fail "the daemon reported no peak memory"
    echo "run $hwm $E2E_SECONDS"
  done
  exit 0
fi

cd "$root"

echo "== router build"
cmake --preset router >/dev/null
cmake --build --preset router --target kestreld kestrel
arm_bin=build/router/kestreld
stripped=build/router/kestreld.stripped
arm-linux-gnueabihf-strip -o "$stripped" "$arm_bin"
size=$(stat -c %s "$stripped")
gzip_size=$(gzip -9 < "$stripped" | wc -c)
xz_size=$(xz -9e < "$stripped" | wc -c)
needed=$(arm-linux-gnueabihf-readelf -d "$stripped" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ' | sed 's/ $//')
interp=$(arm-linux-gnueabihf-readelf -l "$stripped" | sed -n 's/.*Requesting program interpreter: \(.*\)\]/\1/p')
# Code and constants: the first segment's file size.
code_end=$(($(arm-linux-gnueabihf-readelf -lW "$stripped" | awk '$1 == "LOAD" { print $5; exit }')))
lib_size=$(stat -c %s build/router/libkestrel.a)

echo "== native build"
cmake --preset native >/dev/null
cmake --build --preset native --target kestreld kestrel_sleep_shim kestrel_hwm_probe

# Peak memory of the daemon itself: VmHWM, reported by a preloaded probe
# (tests/support/hwm_probe.c) when each kestreld process exits, so nothing
# the run does after a sample is missed; sh, curl and md5sum stay out of the
# figure.  Counting from wait4() would not do: its ru_maxrss also takes in
# the children the daemon waited for (curl is the largest process of the run).
echo "== native happy path in the sandbox, $runs runs"
export KESTRELD=$root/build/native/kestreld
export KESTREL_SOURCE_DIR=$root
export KESTREL_BINARY_DIR=$root/build/native
export KESTREL_SLEEP_SHIM=$root/build/native/tests/libkestrel_sleep_shim.so
export E2E_PRELOAD_EXTRA=$root/build/native/tests/libkestrel_hwm_probe.so
figures=$(bash tests/sandbox/sandbox.sh -- bash "$root/scripts/footprint.sh" --inside | grep '^run ')
[ -n "$figures" ] || { echo "footprint: the runs gave no figures" >&2; exit 1; }
peak_kb=$(echo "$figures" | awk '{ print $2 }' | sort -n | tail -n 1)
times=$(echo "$figures" | awk '{ print $3 }' | sort -n)
median_s=$(echo "$times" | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')
max_s=$(echo "$times" | tail -n 1)

echo
echo "kestreld footprint"
printf '  %-38s %s\n' "stripped size (router):" "$size bytes ($(awk -v b="$size" 'BEGIN { printf "%.1f", b / 1024 }') KiB)   budget: at most 48 KiB (49152 bytes), $((49152 - size)) left"
printf '  %-38s %s\n' "  xz -9e (the flash):" "$xz_size bytes   budget: at most 25600 bytes, $((25600 - xz_size)) left"
printf '  %-38s %s\n' "  gzip -9 (the package):" "$gzip_size bytes"
printf '  %-38s %s\n' "code and constants (router):" "$code_end bytes"
printf '  %-38s %s\n' "NEEDED libraries (router):" "${needed:-none}   target: libc.so only (no libstdc++, no libgcc_s)"
printf '  %-38s %s\n' "loader (router):" "${interp:-none}"
printf '  %-38s %s\n' "libkestrel.a (router, unstripped):" "$lib_size bytes ($(( (lib_size + 1023) / 1024 )) KiB)"
printf '  %-38s %s\n' "peak resident memory (VmHWM, native):" "$peak_kb kB (max of $runs runs)   target: at most 2048 kB (2 MiB)"
printf '  %-38s %s\n' "wall time of the happy path (native):" "median $median_s s, max $max_s s   target: under 2 s"
echo "  (on the router itself: the virtual router's tests and bench/vrouter.sh measure the run in the guest)"

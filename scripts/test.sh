#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Command two: installs what is missing, builds every configuration and runs
# all tests: unit, real servers and end to end in the sandbox on the native,
# the sanitizer and the router build (musl ARM, under qemu-user), the
# GoogleTest unit tests on glibc ARM under qemu-user, short fuzz runs.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
failed=()

run_preset() {
  local preset=$1 start=$SECONDS
  echo "== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "== $preset: tests"
  ctest --preset "$preset" -j "$jobs" || failed+=("$preset")
  echo "== $preset: $((SECONDS - start)) s"
}

run_preset native
run_preset asan
run_preset router
run_preset armhf

echo "== fuzz: configure and build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
echo "== fuzz: short runs"
ctest --test-dir build/fuzz -L fuzz -j "$jobs" --output-on-failure || failed+=(fuzz)

if [ "${#failed[@]}" -gt 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "all test configurations passed"

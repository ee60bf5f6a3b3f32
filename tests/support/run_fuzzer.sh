#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Replays a fuzz target's committed seeds one by one, then fuzzes for SECONDS
# starting from them.  What the run finds goes to a scratch corpus under /tmp;
# the seed directory is only read.  Runs inside the sandbox.
# usage: run_fuzzer.sh FUZZER SEED_DIR SECONDS
set -euo pipefail
fuzzer=$1 seeds=$2 seconds=$3
work=/tmp/corpus.$(basename "$fuzzer")
mkdir -p "$work"
cd /tmp   # crash artifacts land here, never in the source or build tree

seed_files=("$seeds"/*)
[ -e "${seed_files[0]}" ] || { echo "FAIL: no seeds in $seeds" >&2; exit 1; }
echo "== replaying ${#seed_files[@]} seeds of $seeds"
"$fuzzer" -rss_limit_mb=2048 "${seed_files[@]}"
echo "== fuzzing for $seconds s"
"$fuzzer" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=1 "$work" "$seeds"

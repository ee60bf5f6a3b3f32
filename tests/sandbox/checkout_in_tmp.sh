#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# A checkout under /tmp survives the tests: the tree under test is copied to
# this sandbox's /tmp, and an end-to-end test (which empties /tmp between its
# cases) runs from there in a sandbox of its own.  Every file of the copy
# must be there and unchanged afterwards.
set -euo pipefail
source "$KESTREL_SOURCE_DIR/tests/sandbox/lib.sh"

co=/tmp/checkout/kestrel
build=$co/build/under-test
mkdir -p "$co" "$build/tests"
tar -C "$KESTREL_SOURCE_DIR" --exclude=./build --exclude=./.git -cf - . | tar -C "$co" -xf -
cp "$KESTRELD" "$build/kestreld"
cp "$KESTREL_PUBLISH" "$build/kestrel-publish"
cp "$KESTREL_SLEEP_SHIM" "$build/tests/"
cp "$KESTREL_BINARY_DIR/CMakeCache.txt" "$build/"
echo "left by the test" > "$co/canary"

manifest() { (cd /tmp/checkout && find . -printf '%y %p\n' | sort && find . -type f -exec md5sum {} + | sort -k 2); }
manifest > "$sb_dir/before"
[ "$(grep -c '^f ' "$sb_dir/before")" -gt 50 ] || sb_fail "the copy holds too few files"

# signed_update also lists what a run leaves in /tmp, where the checkout's
# mount point must not count.
echo "== signed_update from $co"
rc=0
KESTREL_SOURCE_DIR=$co KESTREL_BINARY_DIR=$build KESTRELD=$build/kestreld KESTREL_PUBLISH=$build/kestrel-publish \
  KESTREL_SLEEP_SHIM=$build/tests/$(basename "$KESTREL_SLEEP_SHIM") \
  bash "$co/tests/sandbox/sandbox.sh" -- bash "$co/tests/e2e/signed_update.sh" > "$sb_dir/nested.out" 2>&1 || rc=$?
tail -n 3 "$sb_dir/nested.out"

manifest > "$sb_dir/after"
diff "$sb_dir/before" "$sb_dir/after" > "$sb_dir/diff" || sb_fail "the checkout under /tmp changed: $(head -n 20 "$sb_dir/diff")"
[ "$rc" -eq 0 ] || sb_fail "the end-to-end test failed from the checkout under /tmp: $(tail -n 20 "$sb_dir/nested.out")"
echo "checkout_in_tmp: the checkout is intact"

#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# The daemon as the router gets it (stripped) keeps the protections OpenWrt
# builds every package with.  Each row names a property, the readelf view
# that shows it and a Perl pattern that view must (has) or must not (lacks)
# match; every lost property fails with its own line.
#
# usage: hardening.sh KESTRELD READELF STRIP
set -euo pipefail
daemon=$1 readelf=$2 strip=$3

shipped=$(mktemp)
trap 'rm -f "$shipped"' EXIT
"$strip" -o "$shipped" "$daemon"

# property                      | view            | rule  | pattern
rows='
position-independent (PIE)      | -h              | has   | Type:\s+DYN \(Position-Independent Executable
RELRO segment (GNU_RELRO)       | -lW             | has   | ^\s*GNU_RELRO\s
symbols bound at load (BIND_NOW)| -d              | has   | \(FLAGS\).*\bBIND_NOW\b
stack protector                 | --dyn-syms -W   | has   | \bUND\s+__stack_chk_fail$
no writable executable segment  | -lW             | lacks | ^\s*LOAD\s+(0x[0-9a-f]+\s+){5}RWE\s
non-executable stack (GNU_STACK)| -lW             | has   | ^\s*GNU_STACK\s+(0x[0-9a-f]+\s+){5}RW\s
NEEDED libc.so                  | -d              | has   | \(NEEDED\).*\[libc\.so\]$
NEEDED nothing but libc.so      | -d              | lacks | \(NEEDED\).*\[(?!libc\.so\]$)
'

failed=0
checked=0
while IFS='|' read -r property view rule pattern; do
  [ -n "$property" ] || continue
  # shellcheck disable=SC2086  # the view is a list of readelf options
  text=$("$readelf" $view "$shipped") || { echo "FAIL: $property: readelf $view failed" >&2; failed=1; continue; }
  checked=$((checked + 1))
  shown=$(grep -P -- "$pattern" <<<"$text" || true)
  if [ "$rule" = has ] && [ -z "$shown" ]; then
    echo "FAIL: $property lost: readelf $view of the stripped ${daemon##*/} shows no /$pattern/" >&2
    failed=1
  elif [ "$rule" = lacks ] && [ -n "$shown" ]; then
    echo "FAIL: $property lost: readelf $view of the stripped ${daemon##*/} shows: ${shown//$'\n'/; }" >&2
    failed=1
  fi
done < <(sed 's/ *| */|/g; s/ *$//' <<<"$rows")

rules=$(grep -c '|' <<<"$rows")
[ "$checked" -eq "$rules" ] || { echo "FAIL: only $checked of the $rules properties were checked" >&2; exit 1; }
[ "$failed" -eq 0 ] || exit 1
echo "PASS: the stripped ${daemon##*/} is PIE, full RELRO, stack-protected, W^X with a non-executable stack, needs only libc.so"

#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# What libkestrel.a defines for the programs that link it: the routines of
# the installed headers under their C names, none of them a name the C
# libraries define (glibc's and the router's musl), and everything else
# inside namespace kestrel, where no caller's names can meet it.
#
# usage: exported_names.sh LIBKESTREL INCLUDE_DIR LIBC...
set -euo pipefail
lib=$1 include=$2
shift 2
fail() { echo "FAIL: $*" >&2; exit 1; }

# Global definitions: "TYPE NAME" for every symbol the archive defines.
defined=$(nm -g --defined-only "$lib" | awk 'NF == 3 { print $2, $3 }' | sort -u)
[ -n "$defined" ] || fail "no symbols read from $lib"

public=()
while read -r type name; do
  case $name in
    _ZN7kestrel* | _ZNK7kestrel* | _ZZN7kestrel* | _ZZNK7kestrel* | _ZGVZN7kestrel*) continue ;;
    # AddressSanitizer's one-definition-rule markers of the sanitizer build.
    __odr_asan.*) continue ;;
  esac
  case $type:$name in
    # Weak copies of the standard library's inline functions (unoptimised builds).
    [WV]:_ZNSt* | [WV]:_ZNKSt* | [WV]:_ZSt* | [WV]:_ZN9__gnu_cxx*) continue ;;
  esac
  grep -qE "(^|[^A-Za-z0-9_])$name\(" "$include"/kestrel/*.h ||
    fail "$name ($type) is a plain global name but no installed header declares it"
  public+=("$name")
done <<<"$defined"

[ "${#public[@]}" -ge 20 ] || fail "only ${#public[@]} public routines found: ${public[*]}"

for libc in "$@"; do
  [ -f "$libc" ] || fail "no C library at $libc"
  clash=$(comm -12 <(printf '%s\n' "${public[@]}" | sort -u) \
    <(nm -D --defined-only "$libc" | awk '{ print $NF }' | sed 's/@.*//' | sort -u))
  [ -z "$clash" ] || fail "names also defined by $libc: $clash"
done

# Every routine the headers declare is really there.
for name in $(grep -ohE '^[A-Za-z][A-Za-z0-9_ *]*[ *]([A-Za-z_][A-Za-z0-9_]*)\(' "$include"/kestrel/*.h |
              sed -E 's/.*[ *]([A-Za-z_][A-Za-z0-9_]*)\($/\1/' | sort -u); do
  # No pipe into grep -q: under pipefail, a grep that ends first fails printf.
  [[ " ${public[*]} " == *" $name "* ]] || fail "$name is declared but not defined"
done
echo "PASS: ${#public[@]} public routines, all else in namespace kestrel"

#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Builds a C program against the installed libkestrel tree only (pkg-config,
# never the source tree), checks that every public header compiles alone as
# C99 (and as C++ when a C++ compiler is given), and runs the program.
# Runs inside the sandbox.
#
# usage: consumer.sh STAGE PKG_CONFIG_DIRS CONFIG_FILE "CC ARGS" ["CXX ARGS"] [EMULATOR ARGS...]
set -euo pipefail
source "$KESTREL_SOURCE_DIR/tests/sandbox/lib.sh"

stage=$1 pc_dirs=$2 config_file=$3 cc=$4 cxx=${5:-}
shift 5 || shift $#
emulator=("$@")
work=$sb_dir/consumer
mkdir -p "$work/scratch" "$(dirname "$config_file")"

export PKG_CONFIG_LIBDIR=$stage/lib/pkgconfig${pc_dirs:+:$pc_dirs}
export PKG_CONFIG_PATH=
cflags=$(pkg-config --cflags libkestrel) || sb_fail "pkg-config does not know libkestrel"
libs=$(pkg-config --libs libkestrel)
# Headers come from the stage (and cJSON's own place), never the sources.
build_real=$(realpath "$KESTREL_BINARY_DIR")
for flag in $cflags; do
  [ "${flag#-I}" != "$flag" ] || continue
  dir=$(realpath -m "${flag#-I}")
  case $dir/ in
    "$build_real"/*) ;;
    "$(realpath "$KESTREL_SOURCE_DIR")"/*) sb_fail "include path into the source tree: $flag" ;;
  esac
done

for h in "$stage"/include/kestrel/*.h; do
  name=kestrel/$(basename "$h")
  printf '#include <%s>\nint kestrel_header_check;\n' "$name" > "$work/h.c"
  # shellcheck disable=SC2086
  $cc -std=c99 -pedantic -Wall -Wextra -Werror -fsyntax-only $cflags "$work/h.c" ||
    sb_fail "$name does not compile as C99"
  if [ -n "$cxx" ]; then
    cp "$work/h.c" "$work/h.cpp"
    # shellcheck disable=SC2086
    $cxx -std=c++20 -pedantic -Wall -Wextra -Werror -fsyntax-only $cflags "$work/h.cpp" ||
      sb_fail "$name does not compile as C++"
  fi
done

# shellcheck disable=SC2086
$cc -std=c99 -pedantic -Wall -Wextra -Werror $cflags -o "$work/consumer" \
  "$KESTREL_SOURCE_DIR/tests/install/consumer.c" $libs || sb_fail "the consumer does not build"
"${emulator[@]}" "$work/consumer" "$config_file" "$work/scratch"

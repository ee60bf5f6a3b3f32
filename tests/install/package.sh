#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# The package as a firmware team uses it: every build-time constant that
# docs/firmware.md lists is forwarded by the package Makefile and accepted
# by the CMake build, and removing the package takes away only the cron
# line its first-boot script added.
# usage: package.sh SOURCE_DIR (in the sandbox: a scratch tree under /tmp)
set -euo pipefail
src=$1
scratch=$(mktemp -d /tmp/package.XXXXXX)
makefile=$src/openwrt/kestrel/Makefile
fail() { echo "FAIL: $*" >&2; exit 1; }

constants=$(sed -n '/^## Build-time constants/,/^## /p' "$src/docs/firmware.md" | sed -n 's/^| `\(KESTREL_[A-Z_]*\)`.*/\1/p')
[ "$(wc -w <<<"$constants")" -ge 10 ] || fail "docs/firmware.md lists no table of build-time constants"

forwarded=$(sed -n '/^KESTREL_CONSTANTS :=/,/^[^\t]/p' "$makefile" | tr -d '\\' | sed 's/^KESTREL_CONSTANTS :=//')
defines=()
for c in $constants; do
  grep -qw "${c#KESTREL_}" <<<"$forwarded" || grep -q -- "-D$c=" "$makefile" ||
    fail "the package Makefile does not forward $c"
  case $c in
    *_LIMIT | *_DOWNLOAD | *_TIMEOUT | *_NEEDED) value=7 ;;
    *_BACKEND) value=file ;;
    *_DIR | *_FILE) value=/etc/kestrel-test ;;
    *) value="test ! -e /x" ;;
  esac
  defines+=("-D$c=$value")
done
out=$(cmake -S "$src" -B "$scratch" -G Ninja -DKESTREL_BUILD_TESTS=OFF "${defines[@]}" 2>&1) ||
  fail "cmake refused the constants: $out"
! grep -A20 "not used by the project" <<<"$out" | grep -o 'KESTREL_[A-Z_]*' ||
  fail "cmake ignored the constants above"
echo "constants: $(wc -w <<<"$constants") forwarded and accepted"

# The first-boot script's line, then the removal script, on a crontab the
# administrator also uses.
prerm=$(sed -n '/^define Package\/kestrel\/prerm/,/^endef/p' "$makefile" | sed '1d;$d; s/\$\$/$/g')
mkdir -p /etc/crontabs
printf '5 4 * * * /bin/true\n0 */3 * * * /usr/sbin/kestreld\n' > /etc/crontabs/root
cp /etc/crontabs/root "$scratch/crontab.before"
sh "$src/openwrt/kestrel/files/kestrel.defaults"
grep -qxF '0 */3 * * * /usr/sbin/kestreld' /etc/crontabs/root || fail "the administrator's entry is gone"
rm /etc/crontabs/root && cp "$scratch/crontab.before" /etc/crontabs/root
printf '0 */6 * * * /usr/sbin/kestreld\n' >> /etc/crontabs/root
sh -c "$prerm"
cmp -s /etc/crontabs/root "$scratch/crontab.before" || fail "after removal the crontab is: $(cat /etc/crontabs/root)"
echo "package: all checks passed"

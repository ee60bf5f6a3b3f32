#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Runs a command as root inside private mount, net and pid namespaces, over a
# throwaway overlay of the root file system:
#   - every write outside the bound trees lands in a tmpfs layer that vanishes
#     with the sandbox, so tests may create /module_name, /etc/init.d/oru,
#     /etc/kestrel/config or /etc/hosts freely;
#   - fresh tmpfs on /tmp, /run (= /var/run) and /sandbox (fixtures, logs);
#   - a new /proc and /sys, loopback up and nothing else on the network;
#   - the source tree (and the build tree, when outside it) at its real path,
#     read-only;
#   - when the command ends, every process left in the namespace is killed.
#
# usage: sandbox.sh [--bind SRC:DST]... -- COMMAND [ARG]...
#   --bind SRC:DST  bind-mounts SRC (file or directory) over DST in the sandbox,
#                   creating DST first when it does not exist.
set -euo pipefail

if [ "${1:-}" = "--inside" ]; then
  shift
  root=$1 layer=$2
  shift 2
  binds=()
  while [ "$#" -gt 0 ] && [ "$1" != "--" ]; do
    [ "$1" = "--bind" ] || { echo "sandbox: unknown option $1" >&2; exit 2; }
    binds+=("$2")
    shift 2
  done
  shift

  mount --make-rprivate /
  mount -t tmpfs -o mode=0755 sandbox-layer "$layer"
  mkdir -p "$layer/upper" "$layer/work" "$root"
  mount -t overlay overlay -o "lowerdir=/,upperdir=$layer/upper,workdir=$layer/work" "$root"
  mount -t proc proc "$root/proc"
  mount -t sysfs sysfs "$root/sys"
  mount --rbind /dev "$root/dev"
  mount -t tmpfs -o mode=1777 tmp "$root/tmp"
  mount -t tmpfs -o mode=0755 run "$root/run"
  mkdir -p "$root/sandbox"
  mount -t tmpfs -o mode=0755 sandbox "$root/sandbox"

  # The trees under test, read-only: tests write only to the sandbox's own
  # file systems, wherever the checkout lies (even under /tmp).
  for tree in "$KESTREL_SB_SOURCE" "${KESTREL_BINARY_DIR:-}"; do
    [ -n "$tree" ] && [ -d "$tree" ] || continue
    mkdir -p "$root$tree"
    mount --rbind "$tree" "$root$tree"
    mount -o remount,bind,ro "$root$tree"
  done

  for b in "${binds[@]}"; do
    src=${b%%:*} dst=${b#*:}
    if [ -d "$src" ]; then
      mkdir -p "$root$dst"
    else
      mkdir -p "$(dirname "$root$dst")"
      [ -e "$root$dst" ] || : > "$root$dst"
    fi
    mount --bind "$src" "$root$dst"
  done

  cd "$root"
  # pid 1 of the namespace stays a shell so that its end takes every
  # detached process with it.
  chroot "$root" /bin/bash -c 'ip link set lo up && cd / && "$@"' sandbox "$@"
  exit $?
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "sandbox: must run as root (namespaces and mounts)" >&2
  exit 2
fi

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
export KESTREL_SB_SOURCE=$(cd "$here/../.." && pwd)
layer=$(mktemp -d "${TMPDIR:-/tmp}/kestrel-sandbox.XXXXXX")
trap 'rmdir "$layer/root" "$layer" 2>/dev/null || true' EXIT
set +e
unshare --mount --net --pid --fork --kill-child \
  bash "$here/sandbox.sh" --inside "$layer/root" "$layer" "$@"
rc=$?
set -e
exit $rc

#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Installs every Debian package the build, the tests and the demo need.
# Safe to run again: it only installs what is missing.
set -euo pipefail

native=(
  cmake ninja-build g++ pkg-config clang-14 libclang-rt-14-dev
  libgtest-dev libcjson-dev zlib1g-dev
  curl iputils-ping net-tools iproute2 util-linux procps coreutils
  nginx-light openssl vsftpd python3 python3-pyftpdlib dnsmasq-base nftables
  signify-openbsd inotify-tools
  crossbuild-essential-armhf binutils-arm-linux-gnueabihf qemu-user
  musl:armhf musl-dev:armhf dpkg-dev
  qemu-system-arm cpio shellcheck xz-utils
)

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: run as root (apt-get is needed)" >&2
  exit 1
fi

missing=()
for p in "${native[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ "${#missing[@]}" -gt 0 ] || exit 0

# What changes on this machine, said before it changes.
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  echo "install-deps: adding the armhf architecture to dpkg (for the router's musl and qemu's libraries)"
  dpkg --add-architecture armhf
fi
echo "install-deps: installing ${missing[*]}"
echo "install-deps: services these packages bring (nginx, vsftpd) are kept from starting; the tests start their own"

# Debian's maintainer scripts ask policy-rc.d before starting a service: 101
# says no.  A policy the machine already has is left as it is.
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' > "$policy"
  chmod 755 "$policy"
  trap 'rm -f "$policy"' EXIT
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends --no-upgrade "${missing[@]}" >/dev/null
exit 0

#!/usr/bin/env bash
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

if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  dpkg --add-architecture armhf
  apt_updated=
fi

missing=()
for p in "${native[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends --no-upgrade "${missing[@]}" >/dev/null
fi

# The packaged servers must not run on the host: the tests start their own
# copies inside private namespaces.
for svc in nginx vsftpd; do
  if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet "$svc" 2>/dev/null; then
    systemctl stop "$svc" || true
  elif [ -x "/etc/init.d/$svc" ] && pgrep -x "$svc" >/dev/null 2>&1; then
    "/etc/init.d/$svc" stop >/dev/null 2>&1 || true
  fi
done
exit 0

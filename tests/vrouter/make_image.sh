#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Builds the virtual router from Debian's armhf packages: the armmp kernel
# and an initramfs with busybox (the shell and every tool the updater runs),
# musl (the router's C library), curl, signify-openbsd (usign's stand-in)
# and chrony's chronyd (the NTP client) with their glibc libraries and
# loader, the router build's kestreld, the OpenWrt package's init script,
# crontab entry, configuration and a release key.  Beside it, this machine's
# own chronyd, the lab's NTP server.  The packages are fetched with apt-get
# download into CACHE and unpacked with dpkg-deb; nothing is installed on
# this machine.
#
# usage: make_image.sh OUT CACHE KESTRELD SLEEP_SHIM HWM_PROBE RUN_PEAK
#   OUT/vmlinuz, OUT/initramfs.cpio, OUT/keys/release.{pub,sec} (made once),
#   OUT/packages (what went in), OUT/ntp-server (the lab's chrony).
set -euo pipefail
out=${1:?usage: make_image.sh OUT CACHE KESTRELD SLEEP_SHIM HWM_PROBE RUN_PEAK}
cache=${2:?} kestreld=${3:?} shim=${4:?} probe=${5:?} run_peak=${6:?}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
package_dir=$here/../../openwrt/kestrel
module=VR-A15

fail() { echo "make_image: $*" >&2; exit 1; }
apt_opts=(-q -o APT::Sandbox::User=root)
host_arch=$(dpkg --print-architecture)

# ---------------------------------------------------------------- packages
# The kernel the armmp meta-package names, busybox, and everything curl,
# signify-openbsd, chronyd and musl need at run time (chrony alone, with
# its libraries: its maintainer scripts' dependencies stay out), and chrony
# for this machine: names, architectures and candidate versions, worked out
# again when the package lists change.
mkdir -p "$cache"
roots="curl:armhf signify-openbsd:armhf musl:armhf chrony:armhf(libraries) chrony:$host_arch"
resolve() {
  resolved=$cache/resolved-$({ stat -c '%n %Y' /var/lib/apt/lists/*Packages* 2>/dev/null; echo "$roots"; } | md5sum | cut -c1-12)
  [ -s "$resolved" ] && return 0
  local kernel ntp_libraries packages
  kernel=$(apt-cache show --no-all-versions linux-image-armmp:armhf | sed -n 's/^Depends: \(linux-image-[^ ,]*\).*/\1/p')
  [ -n "$kernel" ] || fail "no armmp kernel in the package lists (armhf missing from apt?)"
  ntp_libraries=$(apt-cache depends chrony:armhf | sed -n 's/^ *Depends: \(lib[^ <>]*\)$/\1/p')
  [ -n "$ntp_libraries" ] || fail "no chrony:armhf in the package lists"
  # shellcheck disable=SC2086  # a list of names
  packages=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
    --no-replaces --no-enhances curl:armhf signify-openbsd:armhf musl:armhf $ntp_libraries | grep -v '^[ <]' | sort -u)
  # shellcheck disable=SC2086  # a list of names
  apt-cache show --no-all-versions "$kernel:armhf" busybox-static:armhf chrony:armhf $packages "chrony:$host_arch" |
    awk '/^Package:/ { p = $2 } /^Version:/ { v = $2 } /^Architecture:/ { print p, $2, v }' > "$resolved.new"
  rm -f "$cache"/resolved-????????????
  mv "$resolved.new" "$resolved"
}

# Sets debs (the router's) and server_debs (this machine's) to the files
# apt-get download names the candidate versions, and fetches the ones not in
# the cache yet.
fetch() {
  local name arch version deb missing=()
  debs=() server_debs=()
  while read -r name arch version; do
    deb=$cache/${name}_${version//:/%3a}_$arch.deb
    if [ "$arch" = "$host_arch" ]; then server_debs+=("$deb"); else debs+=("$deb"); fi
    [ -f "$deb" ] || missing+=("$name:$arch=$version")
  done < "$resolved"
  [ "${#missing[@]}" -eq 0 ] && return 0
  echo "make_image: fetching ${#missing[@]} packages into $cache"
  (cd "$cache" && apt-get "${apt_opts[@]}" download "${missing[@]}" >/dev/null)
}

resolve
if ! fetch; then
  # Package lists older than the archive name versions it no longer has.
  apt-get -qq update
  resolve
  fetch || fail "apt-get download failed"
fi

# Unpacked once per set of packages.
from=$cache/tree-$(printf '%s\n' "${debs[@]##*/}" | md5sum | cut -c1-12)
if [ ! -d "$from" ]; then
  rm -rf "$cache"/tree-*
  for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$from.new"; done
  mv "$from.new" "$from"
fi
printf '%s\n' "${debs[@]##*/}" > "$out/packages"
# The lab's NTP server runs from where it is unpacked, in the sandbox.
rm -rf "$out/ntp-server"
for deb in "${server_debs[@]}"; do dpkg-deb -x "$deb" "$out/ntp-server"; done
root=$out/root
rm -rf "$root"
mkdir -p "$root"

# ---------------------------------------------------------------- kernel
kver=$(basename "$(find "$from/lib/modules" -mindepth 1 -maxdepth 1 -type d)")
cp "$from/boot/vmlinuz-$kver" "$out/vmlinuz"

# The virt machine's drivers and what they need, dependencies first (read
# from each module's .modinfo, since the package has no modules.dep).
mkdir -p "$root/lib/modules" "$root/etc/vrouter"
: > "$root/etc/vrouter/modules"
add_module() { # NAME
  grep -qx "$1.ko" "$root/etc/vrouter/modules" && return 0
  local ko dep
  ko=$(find "$from/lib/modules/$kver" -name "$1.ko" | head -n 1)
  [ -n "$ko" ] || fail "kernel module $1 not in $kernel"
  for dep in $(tr '\0' '\n' < "$ko" | sed -n 's/^depends=//p' | tr ',' ' '); do add_module "$dep"; done
  cp "$ko" "$root/lib/modules/"
  echo "$1.ko" >> "$root/etc/vrouter/modules"
}
for m in virtio_mmio virtio_net 9pnet_virtio 9p; do add_module "$m"; done

# ---------------------------------------------------------------- userland
mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,usr/lib,lib,etc/init.d,etc/rc.d,etc/crontabs,etc/uci-defaults} \
  "$root"/{proc,sys,dev,tmp,lab,overlay}
ln -s tmp "$root/var"
cp "$from/bin/busybox" "$root/bin/busybox"
# Every applet, as on OpenWrt (qemu-user runs the static ARM busybox here).
qemu-arm "$root/bin/busybox" --list-full | while read -r applet; do
  [ -e "$root/$applet" ] || ln -s /bin/busybox "$root/$applet"
done

# musl, as OpenWrt installs it.
cp "$from/lib/arm-linux-musleabihf/libc.so" "$root/lib/libc.so"
ln -s libc.so "$root/lib/ld-musl-armhf.so.1"

# Debian's curl, signify-openbsd and chronyd with the glibc libraries they
# load.
glibc_dir=lib/arm-linux-gnueabihf
mkdir -p "$root/$glibc_dir"
cp "$from/lib/ld-linux-armhf.so.3" "$root/lib/"
add_libraries() { # ELF
  local soname path
  for soname in $(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    [ -e "$root/$glibc_dir/$soname" ] || [ "$soname" = ld-linux-armhf.so.3 ] || {
      path=$(find "$from/lib/arm-linux-gnueabihf" "$from/usr/lib/arm-linux-gnueabihf" -maxdepth 1 -name "$soname" | head -n 1)
      [ -n "$path" ] || fail "$soname (needed by ${1##*/}) is in no package"
      cp -L "$path" "$root/$glibc_dir/$soname"
      add_libraries "$root/$glibc_dir/$soname"
    }
  done
}
for program in usr/bin/curl bin/signify-openbsd usr/sbin/chronyd; do
  cp "$from/$program" "$root/usr/bin/"
  add_libraries "$root/usr/bin/${program##*/}"
done
# OpenWrt's usign has the same keys, signatures and command line.
ln -s signify-openbsd "$root/usr/bin/usign"
printf 'hosts: files dns\n' > "$root/etc/nsswitch.conf"
printf '127.0.0.1 localhost\n' > "$root/etc/hosts"
ln -s /tmp/resolv.conf "$root/etc/resolv.conf"
printf 'root:x:0:0:root:/root:/bin/sh\n' > "$root/etc/passwd"
printf 'root:x:0:\n' > "$root/etc/group"

# ---------------------------------------------------------------- the package
# What openwrt/kestrel installs, with the router build's daemon stripped as
# OpenWrt strips it, and the init script enabled as an image build does.
arm-linux-gnueabihf-strip -o "$root/usr/sbin/kestreld" "$kestreld"
install -m 0755 "$package_dir/files/kestrel.init" "$root/etc/init.d/kestrel"
install -m 0755 "$package_dir/files/kestrel.defaults" "$root/etc/uci-defaults/90-kestrel"
sed 's|@KEYS_DIR@|/etc/kestrel/keys|' "$package_dir/files/kestrel-keys.defaults" > "$root/etc/uci-defaults/89-kestrel-keys"
chmod 755 "$root/etc/uci-defaults/89-kestrel-keys"
mkdir -p "$root/etc/kestrel"
install -m 0600 "$package_dir/files/kestrel.config" "$root/etc/kestrel/config"
start=$(sed -n 's/^START=//p' "$package_dir/files/kestrel.init")
ln -s ../init.d/kestrel "$root/etc/rc.d/S${start}kestrel"
# The firmware's release key (a test key pair made once per build tree).
mkdir -p "$out/keys"
if [ ! -f "$out/keys/release.sec" ]; then
  signify-openbsd -G -n -c "virtual router release key" -p "$out/keys/release.pub" -s "$out/keys/release.sec" ||
    fail "signify-openbsd could not make the release key"
fi
# At the old key's path: the package's first boot moves it into the keys
# directory, as on a router upgraded from a build before it.
install -m 0644 "$out/keys/release.pub" "$root/etc/kestrel/update.pub"

# The router's own parts: boot, the rc.common stand-in, the module name,
# the service the updater restarts, the sleep shim for the tests and what
# measures a run (the peak memory probe and run_peak).
install -m 0755 "$here/guest/init" "$root/init"
install -m 0755 "$here/guest/rc.common" "$root/etc/rc.common"
install -m 0755 "$here/guest/oru" "$root/etc/init.d/oru"
echo "$module" > "$root/module_name"
echo "$module" > "$out/module_name"
cp "$shim" "$root/usr/lib/libkestrel_sleep_shim.so"
cp "$probe" "$root/usr/lib/libkestrel_hwm_probe.so"
arm-linux-gnueabihf-strip -o "$root/usr/bin/run_peak" "$run_peak"

mknod -m 0600 "$root/dev/console" c 5 1
(cd "$root" && find . | LC_ALL=C sort | cpio --quiet -o -H newc -R 0:0) > "$out/initramfs.cpio.new"
mv "$out/initramfs.cpio.new" "$out/initramfs.cpio"
rm -rf "$root"
echo "make_image: $out/initramfs.cpio ($(($(stat -c %s "$out/initramfs.cpio") / 1024)) KiB), kernel $kver"

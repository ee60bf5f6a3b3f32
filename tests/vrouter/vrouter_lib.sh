# SPDX-License-Identifier: ISC
# The virtual router, host side (source inside the sandbox): its WAN is a
# tap device in the sandbox's network namespace, with the update servers and
# the name server on the namespace's side.  Needs what e2e_lib.sh needs, the
# router build (KESTREL_BINARY_DIR) and its image (make_image.sh).
# shellcheck source=../e2e/e2e_lib.sh
source "${KESTREL_SOURCE_DIR:?}/tests/e2e/e2e_lib.sh"

VR_IMAGE=$KESTREL_BINARY_DIR/vrouter
VR_MODULE=$(cat "$VR_IMAGE/module_name")
VR_DIR=$E2E_PREFIX$(echo "$VR_MODULE" | tr 'A-Z' 'a-z')
VR_HOST=192.0.2.1
VR_GUEST=192.0.2.15
VR_TAP=vr-wan
VR_TIMEOUT=${VR_TIMEOUT:-90}
VR_RTC=utc   # the guest's real-time clock: the host's, or qemu's -rtc base= date
VR_LAB=$sb_dir/lab
VR_FLASH=$sb_dir/flash
VR_FTP_HOST=$(e2e_cache_value KESTREL_FTP_HOST example.com)
# What e2e_lib.sh's checks read, and shows when a check fails.
E2E_ERR=$VR_LAB/console
E2E_LOG=$VR_LAB/out/oru_log.txt
E2E_ORU_CALLS=$VR_LAB/oru.calls
E2E_SLEEPS=$VR_LAB/sleeps

# The WAN and a name server that knows the update hosts and the probe's
# target: all of them are the host's end of the tap.
vr_setup() {
  [ -f "$VR_IMAGE/initramfs.cpio" ] || sb_fail "no virtual router image in $VR_IMAGE"
  ip tuntap add dev "$VR_TAP" mode tap || sb_fail "cannot make the tap device"
  ip addr add "$VR_HOST/24" dev "$VR_TAP"
  ip link set "$VR_TAP" up
  local name records=()
  for name in "$E2E_HTTPS_HOST" "$VR_FTP_HOST" "$E2E_PING_TARGET"; do
    records+=("--host-record=$name,$VR_HOST")
  done
  /usr/sbin/dnsmasq --no-resolv --no-hosts --user=root --port=53 --bind-interfaces \
    --listen-address="$VR_HOST" --pid-file="$sb_dir/dnsmasq.pid" --log-queries \
    --log-facility="$sb_dir/dnsmasq.log" "${records[@]}" || sb_fail "dnsmasq did not start"
  mkdir -p "$VR_LAB/out" "$VR_FLASH/etc/kestrel" "$E2E_WWW"
}

# The lab's NTP server, on the host's end of the tap: Debian's chronyd,
# unpacked beside the image.  It serves the sandbox's clock and never
# adjusts one (-x); "local stratum 1" makes it a source of time though no
# server of its own has set it.
vr_start_ntp() {
  local chronyd=$VR_IMAGE/ntp-server/usr/sbin/chronyd i
  [ -x "$chronyd" ] || sb_fail "no NTP server in $VR_IMAGE/ntp-server"
  printf '%s\n' "local stratum 1" "allow $VR_GUEST" "bindaddress $VR_HOST" "cmdport 0" "bindcmdaddress /" \
    "pidfile $sb_dir/chronyd.pid" > "$sb_dir/chrony.conf"
  "$chronyd" -x -d -u root -f "$sb_dir/chrony.conf" > "$sb_dir/chronyd.log" 2>&1 &
  for i in $(seq 1 50); do
    [ -n "$(ss -Hlun "src $VR_HOST:123")" ] && return 0
    sleep 0.1
  done
  sb_fail "the NTP server did not start: $(cat "$sb_dir/chronyd.log")"
}

# The administrator's configuration, kept on the flash: the package's file
# with the given keys set (their lines there, commented or not, replaced).
vr_configure() { # [KEY=VALUE]...
  local kv keys=
  for kv in "$@"; do keys+="${keys:+|}${kv%%=*}"; done
  { grep -vE "^#?(${keys})=" "$KESTREL_SOURCE_DIR/openwrt/kestrel/files/kestrel.config"; printf '%s\n' "$@"; } \
    > "$VR_FLASH/etc/kestrel/config"
}

# Publishes PAYLOAD as VERSION for the router's module under ROOT, signed
# with the release key the image carries.
vr_release() { # ROOT VERSION PAYLOAD
  sb_target "$KESTREL_PUBLISH" --sign "$VR_IMAGE/keys/release.sec" "$1" "$VR_MODULE" "$2" "$3" >/dev/null ||
    e2e_fail "kestrel-publish $2"
}

# One boot, from power on to power off (or to the watchdog): the console
# goes to $VR_LAB/console (and to standard output with --live), the boot's
# exit status, time and qemu's peak memory to $VR_LAB/figures.
vr_boot() { # [--live] [KERNEL ARGUMENT]...
  local live=()
  [ "${1:-}" = --live ] && { live=(--live); shift; }
  # A 64 MiB translation cache holds the boot's code (qemu's default costs
  # 85 MiB more and is no faster; 16 MiB retranslates and takes half as long again).
  python3 "$KESTREL_SOURCE_DIR/tests/vrouter/measure.py" "${live[@]}" "$VR_LAB/console" "$VR_LAB/figures" \
    timeout -k 5 "$VR_TIMEOUT" qemu-system-arm -M virt -cpu cortex-a15 -smp 1 -m 128 -accel tcg,tb-size=64 \
    -nodefaults -display none -no-reboot -serial stdio -rtc "base=$VR_RTC" \
    -kernel "$VR_IMAGE/vmlinuz" -initrd "$VR_IMAGE/initramfs.cpio" \
    -append "console=ttyAMA0 panic=-1 vrouter.net=$VR_GUEST/24,$VR_HOST,$VR_HOST $*" \
    -netdev "tap,id=wan,ifname=$VR_TAP,script=no,downscript=no" -device virtio-net-device,netdev=wan \
    -fsdev "local,id=lab,path=$VR_LAB,security_model=none" -device virtio-9p-device,fsdev=lab,mount_tag=lab \
    -fsdev "local,id=flash,path=$VR_FLASH,security_model=none" -device virtio-9p-device,fsdev=flash,mount_tag=flash
  local status
  status=$(sed -n 's/^status //p' "$VR_LAB/figures")
  [ "$status" != 124 ] || e2e_fail "the watchdog stopped the router after $VR_TIMEOUT s"
  [ "$status" = 0 ] || e2e_fail "qemu-system-arm failed with status $status"
}

# What the guest's kernel saw of the last boot's update run (run_peak, the
# probe, the service's restart; see /init and rc.common), on one line:
# seconds from the start to the service's restart ("-": none) and to the end
# of the run's last process, the peak resident memory of the updater's own
# largest process and the largest peak of any process of the run, in KiB.
vr_measured() {
  local m=$VR_LAB/out/measure
  [ -f "$m/run" ] || { echo "- - - -"; return; }
  awk -v restart="$(cat "$m/restart" 2>/dev/null)" -v own="$(awk '$2 > n { n = $2 } END { print n + 0 }' "$m/hwm" 2>/dev/null)" '
    { v[$1] = $2 }
    END { printf "%s %.2f %d %d\n", restart == "" ? "-" : sprintf("%.2f", restart - v["start"]), v["end"] - v["start"], own, v["largest_kib"] }
  ' "$m/run"
}

# The figures of the last boot, on one line.
vr_figures() {
  local restart run own largest
  read -r restart run own largest <<<"$(vr_measured)"
  awk -v restart="$restart" -v run="$run" -v own="$own" -v largest="$largest" '/^seconds/ { s = $2 } /^peak_kib/ { m = $2 }
    END {
      printf "boot to power-off %s s, qemu peak memory %d MiB", s, m / 1024
      if (run != "-") printf "; in the guest: start to service restart %s s, run %s s, updater peak %d KiB, largest process %d KiB", restart, run, own, largest
      printf "\n" }' "$VR_LAB/figures"
}

#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Command one: installs what is missing, builds the daemon, and shows what an
# operator sees when kestreld updates a router from a local HTTPS update
# server.  Everything runs in the sandbox (private namespaces, a throwaway
# root): nothing on this machine changes and no traffic leaves loopback.
#
# usage: demo.sh [native|router|vrouter]
#   native   the build for this machine (the default)
#   router   the router build (ARM, musl), run under qemu-user
#   vrouter  the router build on the virtual router: an ARM kernel booted
#            under qemu-system-arm, kestreld started by its init script
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

if [ "${1:-}" != "--inside" ]; then
  preset=${1:-native}
  targets=(kestreld kestrel-publish kestrel_sleep_shim)
  case $preset in
    native) emulator= ;;
    router) emulator=qemu-arm ;;
    vrouter) preset=router emulator=qemu-arm targets+=(vrouter_image) ;;
    *) echo "usage: demo.sh [native|router|vrouter]" >&2; exit 2 ;;
  esac
  cd "$root"
  bash scripts/install-deps.sh
  cmake --preset "$preset"
  cmake --build --preset "$preset" --target "${targets[@]}"
  export KESTRELD=$root/build/$preset/kestreld
  export KESTREL_PUBLISH=$root/build/$preset/publish/kestrel-publish
  export KESTREL_SOURCE_DIR=$root
  export KESTREL_BINARY_DIR=$root/build/$preset
  export KESTREL_SLEEP_SHIM=$root/build/$preset/tests/libkestrel_sleep_shim.so
  export KESTREL_EMULATOR=$emulator
  exec bash tests/sandbox/sandbox.sh -- bash "$root/scripts/demo.sh" --inside "${1:-native}"
fi

if [ "${2:-}" = vrouter ]; then
  source "$root/tests/vrouter/vrouter_lib.sh"
else
  source "$root/tests/e2e/e2e_lib.sh"
  source "$root/tests/e2e/signing.sh"
fi

if [ -t 1 ]; then bold=$'\033[1m' dim=$'\033[2m' off=$'\033[0m'; else bold= dim= off=; fi
title() { printf '\n%s==== %s ====%s\n' "$bold" "$*" "$off"; }
heading() { printf '\n%s-- %s%s\n' "$bold" "$*" "$off"; }
note() { printf '%s%s%s\n' "$dim" "$*" "$off"; }
# Shows a file's content indented, or says it is not there.
show() { # PATH [FROM_LINE]
  if [ ! -e "$1" ]; then echo "    (no $1)"; return; fi
  if [ ! -s "$1" ]; then echo "    (empty)"; return; fi
  tail -n "+${2:-1}" "$1" | sed 's/^/    | /'
  [ -z "$(tail -c 1 "$1")" ] || echo    # a file without a final line feed
}

# The virtual router boots once: the package's init script starts kestreld,
# which installs a signed release from the update server on its WAN.
vrouter_demo() {
  title "The virtual router and its update server"
  vr_setup
  # The package's splay (a random wait of up to 600 s before the first
  # request) is left out here, so that the boot is seen through at once.
  vr_configure oru_log=1 "dbg_ftp_path=$E2E_HTTPS_HOST" dbg_splay=0
  e2e_start_server "$VR_HOST"
  note "Machine:        qemu-system-arm -M virt -cpu cortex-a15, one core, 128 MiB"
  note "Kernel:         $(grep -o 'linux-image-[^_]*' "$VR_IMAGE/packages") (Debian), initramfs of Debian armhf packages"
  note "Daemon:         /usr/sbin/kestreld (router build), started at boot by /etc/init.d/kestrel"
  note "Module:         $VR_MODULE (/module_name)"
  note "WAN:            router $VR_GUEST, update server and name server $VR_HOST (nginx, dnsmasq)"
  note "Release key:    in /etc/kestrel/keys after the first boot (updates must be signed)"
  heading "The administrator's settings in /etc/kestrel/config (kept on the router's flash)"
  grep -v '^#' "$VR_FLASH/etc/kestrel/config" | grep . | sed 's/^/    | /'
  e2e_make_payload "$sb_dir/payload.cfg" "for $VR_MODULE, version 1.2.0"
  heading "kestrel-publish --sign release.sec $E2E_WWW $VR_MODULE 1.2.0 payload.cfg"
  sb_target "$KESTREL_PUBLISH" --sign "$VR_IMAGE/keys/release.sec" "$E2E_WWW" "$VR_MODULE" 1.2.0 \
    "$sb_dir/payload.cfg" | sed 's/^/    | /'

  title "Power on: the router's serial console"
  vr_boot --live
  title "What the boot left on the router (copied out through the lab share)"
  heading "Installed /tmp/dbg-gen.cfg"
  show "$VR_LAB/out/dbg-gen.cfg"
  heading "Recorded version /tmp/dbg_log_collect/dbg_version"
  show "$VR_LAB/out/dbg_version"
  heading "Calls of /etc/init.d/oru"
  show "$VR_LAB/oru.calls"
  heading "Debug log /tmp/oru_log.txt"
  show "$VR_LAB/out/oru_log.txt"
  heading "Update server's access log"
  show "$(sb_nginx_log "$VR_HOST")"
  note "$(vr_figures)"
}

if [ "${2:-}" = vrouter ]; then
  vrouter_demo
  exit 0
fi

module=RT-AX1
version=1.0.12

title "The router and its update server"
e2e_setup "$module"
e2e_config
# The probe's target answers on loopback, so the default server is used.
sb_hosts 127.0.0.3 "$E2E_PING_TARGET"
echo "nameserver 127.0.0.1" > /tmp/resolv.conf
e2e_start_server
e2e_make_payload "$sb_dir/payload.cfg" "for $module, version $version"
: > /tmp/oru_log.txt

if [ -n "${KESTREL_EMULATOR:-}" ]; then
  note "Daemon:                  $KESTRELD (router build: ARM, musl; run under $KESTREL_EMULATOR)"
else
  note "Daemon:                  $KESTRELD"
fi
note "Module (/module_name):   $module"
note "Update server:           https://$E2E_HTTPS_HOST (nginx on $E2E_SERVER)"
note "Ping target:             $E2E_PING_TARGET ($(getent hosts "$E2E_PING_TARGET" | cut -d' ' -f1))"
note "Configuration store:     $E2E_CONFIG"
show "$E2E_CONFIG"
# The operator publishes a release; the summary is what kestrel-publish prints.
release() { # VERSION PAYLOAD [options]
  local v=$1 p=$2
  shift 2
  heading "kestrel-publish ${*:+$* }$E2E_WWW $module $v $(basename "$p")"
  publish "$@" "$E2E_WWW" "$module" "$v" "$p" | sed 's/^/    | /'
}
release "$version" "$sb_dir/payload.cfg"
heading "Published control file ${E2E_PREFIX}rt-ax1/fileinfo.txt"
show "$E2E_WWW${E2E_PREFIX}rt-ax1/fileinfo.txt"

# Runs kestreld once and shows what it left behind.
run_and_show() { # TITLE
  local log_from
  log_from=$(( $(wc -l < /tmp/oru_log.txt) + 1 ))
  : > "$E2E_ORU_CALLS"
  : > "$E2E_SLEEPS"
  title "$1"
  e2e_run
  note "kestreld returned at once with status $E2E_STARTED; the detached run ended with status" \
       "${E2E_DETACHED:-none} after $E2E_SECONDS s (a finished run always ends with 1, as the daemon" \
       "always has: its outcome is in the status file below)."
  note "Pauses asked for (seconds, skipped in the sandbox): $(e2e_sleeps)"
  heading "Console (standard error)"
  show "$E2E_ERR"
  heading "Debug log /tmp/oru_log.txt (this run)"
  show /tmp/oru_log.txt "$log_from"
  heading "Installed /tmp/dbg-gen.cfg"
  show /tmp/dbg-gen.cfg
  heading "Recorded version /tmp/dbg_log_collect/dbg_version"
  show /tmp/dbg_log_collect/dbg_version
  heading "Status /tmp/dbg_log_collect/status.json"
  show /tmp/dbg_log_collect/status.json
  heading "Calls of /etc/init.d/oru"
  show "$E2E_ORU_CALLS"
}

run_and_show "Run 1: a new version is published"
run_and_show "Run 2: nothing new on the server"

e2e_make_payload "$sb_dir/payload2.cfg" "for $module, version 1.0.13"
title "The operator publishes 1.0.13"
release 1.0.13 "$sb_dir/payload2.cfg"
run_and_show "Run 3: version 1.0.13 is published"

title "Signed updates: the router carries the release key"
# signify-openbsd plays the router's usign (same keys, same signatures).
signing_setup
install_key
note "Release key pair:        $SIGN_KEYS/release.sec (operator), $SIGN_KEYS/release.pub"
note "Key on the router:       $E2E_KEYS_DIR/$(key_fingerprint "$SIGN_KEYS/release.pub") (from now on every update must be signed)"
e2e_make_payload "$sb_dir/payload3.cfg" "for $module, version 1.0.14"
release 1.0.14 "$sb_dir/payload3.cfg" --sign "$SIGN_KEYS/release.sec"
run_and_show "Run 4: signed version 1.0.14 is published"

title "A forged payload: signed 1.0.15, then its payload changed on the server"
e2e_make_payload "$sb_dir/payload4.cfg" "for $module, version 1.0.15"
release 1.0.15 "$sb_dir/payload4.cfg" --sign "$SIGN_KEYS/release.sec"
printf 'upload.url=http://collector.invalid/\n' | tee -a "$E2E_WWW${E2E_PREFIX}rt-ax1"/dbg-gen.cfg* >/dev/null
note "Appended to the published payload: upload.url=http://collector.invalid/"
run_and_show "Run 5: the forged payload is refused, 1.0.14 stays installed"

title "Server access log"
show "$(sb_nginx_log "$E2E_SERVER")"

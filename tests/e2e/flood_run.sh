#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Whole signed runs against servers that never stop sending one file of the
# release, over HTTPS (no Content-Length, or a false one) and over FTP (no
# SIZE, or a huge one): every attempt at that file stops at its cap and
# fails, /tmp never holds a file larger than the cap and one byte, nothing
# is installed and nothing of the flood is left.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"
source "$e2e_here/signing.sh"
source "$KESTREL_SOURCE_DIR/tests/ftp/servers.sh"

module=abc
dir=$E2E_PREFIX$module
payload_cap=$(e2e_cache_value KESTREL_MAX_DOWNLOAD 1048576)
https_addr=$E2E_SERVER
ftp_addr=127.0.0.43
sampled=$sb_dir/largest
sent=$sb_dir/flood.log

e2e_setup "$module"
signing_setup
install_key
e2e_make_payload "$sb_dir/v1.cfg" v1
mkdir -p "$ftp_dir/anon"
for root in "$E2E_WWW" "$ftp_dir/anon"; do
  publish --sign "$SIGN_KEYS/release.sec" "$root" "$module" 1.0 "$sb_dir/v1.cfg" >/dev/null || e2e_fail "kestrel-publish"
done
chmod -R a+rX "$ftp_dir"
sb_certificate
sb_hosts 127.0.0.45 flood.invalid   # for FTP rows: nothing listens there on 443

# The largest file under /tmp, sampled while the run lasts; a checkout under
# /tmp is a mount of its own there, and its files are not the run's.
start_sampling() {
  : > "$sb_dir/sampling"
  (largest=0
   while [ -e "$sb_dir/sampling" ]; do
     for s in $(find /tmp -xdev -type f -printf '%s ' 2>/dev/null); do [ "$s" -gt "$largest" ] && largest=$s; done
     sleep 0.005
   done
   echo "$largest" > "$sampled") &
  sampler=$!
}
stop_sampling() { rm -f "$sb_dir/sampling"; wait "$sampler"; }

# TRANSPORT FILE VARIANT CAP: a signed router fetches the payload by its
# digest name.
payload=dbg-gen.cfg.$(sha256sum "$sb_dir/v1.cfg" | cut -c1-16)
rows="https fileinfo.txt nolength 65536
https fileinfo.txt falselength 65536
https $payload nolength $payload_cap
https $payload falselength $payload_cap
ftp fileinfo.txt nosize 65536
ftp fileinfo.txt hugesize 65536
ftp $payload nosize $payload_cap
ftp $payload hugesize $payload_cap"

while read -r transport file variant cap; do
  e2e_case "$transport, $file, $variant: every attempt stops at $cap bytes"
  e2e_reset
  : > "$sent"
  if [ "$transport" = https ]; then
    # The FTP fallback finds nothing listening.
    e2e_config "dbg_ftp_path=$E2E_HTTPS_HOST" "oru_ftp_ip=127.0.0.44"
    "$E2E_PYTHON" "$e2e_here/flood_https.py" "$sb_dir/tls/cert.pem" "$sb_dir/tls/key.pem" "$E2E_WWW" \
      "$https_addr" "$dir/$file" "$variant" "$sent" &
    server=$!
    sb_wait_tcp "$https_addr" 443
    stopped="https://$E2E_HTTPS_HOST$dir/$file is larger than its cap of $cap bytes, not taken"
  else
    # HTTPS finds nothing listening.
    e2e_config "dbg_ftp_path=flood.invalid" "oru_ftp_ip=$ftp_addr"
    ftp_start_scripted "$ftp_addr:flood_$variant@$file"
    server=$!
    if [ "$variant" = nosize ]; then
      stopped="more than $cap bytes: transfer stopped"
    else
      stopped="$file is 314572800 bytes, over the cap of $cap: not fetched"
    fi
  fi
  start_sampling
  E2E_TIMEOUT=120 e2e_run
  stop_sampling
  kill "$server"
  wait "$server" 2>/dev/null || true

  e2e_assert_untouched
  e2e_assert_log "$stopped" 2
  e2e_assert_count "$E2E_ERR" "/$file failed!" 4
  e2e_assert_not_contains "$E2E_ERR" "/$file successfully!"
  largest=$(cat "$sampled")
  [ "$largest" -le $((cap + 1)) ] || e2e_fail "/tmp held a file of $largest bytes"
  # The client hung up long before the server's hold ran out.
  if [ -s "$sent" ]; then
    awk -v cap="$cap" '$2 > cap + 16 * 1048576 { exit 1 }' "$sent" || e2e_fail "the flood went on: $(cat "$sent")"
  fi
done <<<"$rows"

echo "flood_run: all cases passed"

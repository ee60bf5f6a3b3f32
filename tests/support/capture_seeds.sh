#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Records fresh fuzz seeds from the real servers (vsftpd, pyftpdlib, dnsmasq)
# and the scripted ones, in a sandbox, into OUTDIR; a developer copies what
# is worth keeping into the corpus/ folders.  Not a test.
# usage (as root): tests/support/capture_seeds.sh OUTDIR
set -euo pipefail
if [ "${1:-}" != --inside ]; then
  out=$(realpath "${1:?usage: capture_seeds.sh OUTDIR}")
  mkdir -p "$out"
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
  exec env KESTREL_SOURCE_DIR="$(cd "$here/../.." && pwd)" \
    "$here/../sandbox/sandbox.sh" --bind "$out:/seeds" -- bash "$here/capture_seeds.sh" --inside
fi
source "$KESTREL_SOURCE_DIR/tests/ftp/servers.sh"
ftp_fixture_files
printf '0123456789%.0s' $(seq 500) > "$ftp_dir/anon/pub/f.bin"
ftp_start_vsftpd 127.0.0.2 YES
ftp_start_pyftpd 127.0.0.3
ftp_start_scripted 127.0.0.10:normal 127.0.0.11:together 127.0.0.12:split_midline \
  127.0.0.13:trickle_greeting 127.0.0.14:size_garbage 127.0.0.15:final426
label=$(printf 'l%.0s' $(seq 60))
/usr/sbin/dnsmasq --no-resolv --no-hosts --user=root --port=53 --bind-interfaces \
  --listen-address=127.0.0.53 --pid-file="$sb_dir/dnsmasq.pid" \
  --host-record=a.test,192.0.2.10 --cname=alias.test,a.test \
  --cname=long.test,1$label.$label.$label.test --cname=1$label.$label.$label.test,2$label.$label.$label.test \
  --cname=2$label.$label.$label.test,3$label.$label.$label.test --cname=3$label.$label.$label.test,a.test
/usr/bin/python3 "$KESTREL_SOURCE_DIR/tests/resolv/dns_scripted_server.py" "$sb_dir/q.log" 127.0.0.54 \
  > "$sb_dir/dns.out" &
sleep 1
/usr/bin/python3 "$KESTREL_SOURCE_DIR/tests/support/capture_seeds.py" /seeds \
  127.0.0.2:vsftpd 127.0.0.3:pyftpdlib 127.0.0.10:scripted-normal 127.0.0.11:scripted-together \
  127.0.0.12:scripted-split-midline 127.0.0.13:scripted-trickle 127.0.0.14:scripted-size-garbage \
  127.0.0.15:scripted-426 -- 127.0.0.53:dnsmasq 127.0.0.54:scripted
ls -lR /seeds

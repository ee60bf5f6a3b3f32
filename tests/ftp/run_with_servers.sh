#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Starts every FTP server of the tests inside the sandbox, then runs the
# test binary given as arguments.
set -euo pipefail
. "$KESTREL_SOURCE_DIR/tests/ftp/servers.sh"

ftp_fixture_files
sb_ipv6 fd00::2 fd00::3 fd00::4 fd00::5 fd00::10
for addr in 127.0.0.2 fd00::2; do ftp_start_vsftpd "$addr" YES; done
for addr in 127.0.0.4 fd00::4; do ftp_start_vsftpd "$addr" NO; done
for addr in 127.0.0.3 fd00::3; do ftp_start_pyftpd "$addr"; done
for addr in 127.0.0.5 fd00::5; do ftp_start_pyftpd "$addr" --no-pasv; done
ftp_start_scripted 127.0.0.10:normal 127.0.0.11:user230 127.0.0.12:split \
  127.0.0.13:size550_refuse 127.0.0.14:size550_serve 127.0.0.15:size502 \
  127.0.0.16:short 127.0.0.17:mute 127.0.0.18:list150 127.0.0.19:list125 fd00::10:normal
ftp_silent_address

# The meter's redraws would drown the test report: keep them in a file.
rc=0
"$@" 2>"$ftp_dir/stderr.txt" || rc=$?
[ "$rc" -eq 0 ] || tail -c 4000 "$ftp_dir/stderr.txt" >&2
exit "$rc"

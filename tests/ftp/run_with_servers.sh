#!/usr/bin/env bash
# Starts every FTP server of the tests inside the sandbox, then runs the
# test binary given as arguments.
set -euo pipefail
. "$KESTREL_SOURCE_DIR/tests/ftp/servers.sh"

ftp_fixture_files
ftp_start_vsftpd 127.0.0.2 YES
ftp_start_vsftpd 127.0.0.4 NO
ftp_start_pyftpd 127.0.0.3
ftp_start_pyftpd 127.0.0.5 --no-pasv
ftp_start_scripted 127.0.0.10:normal 127.0.0.11:user230 127.0.0.12:split \
  127.0.0.13:size550_refuse 127.0.0.14:size550_serve 127.0.0.15:size502 \
  127.0.0.16:short 127.0.0.17:mute 127.0.0.18:list150 127.0.0.19:list125

# 127.0.0.9 swallows connection attempts: neither accepted nor refused.
nft -f - <<'NFT' || sb_fail "nft rule for 127.0.0.9"
table inet kestrel_ftp_test {
  chain input {
    type filter hook input priority 0; policy accept;
    ip daddr 127.0.0.9 tcp dport 21 drop
  }
}
NFT

# The meter's redraws would drown the test report: keep them in a file.
rc=0
"$@" 2>"$ftp_dir/stderr.txt" || rc=$?
[ "$rc" -eq 0 ] || tail -c 4000 "$ftp_dir/stderr.txt" >&2
exit "$rc"

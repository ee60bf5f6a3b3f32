# SPDX-License-Identifier: ISC
# FTP servers for the tests and the benchmark (source inside the sandbox).
#   vsftpd:    127.0.0.2 (passive and active), 127.0.0.4 (PASV disabled)
#   pyftpdlib: 127.0.0.3 (passive and active), 127.0.0.5 (PASV disabled)
#   scripted:  127.0.0.10 and up, one misbehaviour each (scripted_server.py)
# and the same over IPv6 at fd00::N (passive mode then EPSV, active EPRT).
# Anonymous root /sandbox/ftp/anon; local user kestrel / s3cret with home
# /sandbox/ftp/home/kestrel.
. "$KESTREL_SOURCE_DIR/tests/sandbox/lib.sh"

ftp_dir=$sb_dir/ftp
ftp_src=$KESTREL_SOURCE_DIR/tests/ftp
ftp_user=kestrel
ftp_pass=s3cret
ftp_python=/usr/bin/python3

ftp_fixture_files() {
  mkdir -p "$ftp_dir/anon/pub/nested/deep" "$ftp_dir/anon/sw/pkg" "$ftp_dir/empty" \
    "$ftp_dir/home/$ftp_user/private"
  head -c 102400 /dev/urandom > "$ftp_dir/anon/pub/nested/deep/data.bin"
  head -c 3000 /dev/urandom > "$ftp_dir/anon/f.bin"
  : > "$ftp_dir/anon/empty.bin"
  printf '[Major1]\nversion=2\n' > "$ftp_dir/anon/sw/pkg/fileinfo.txt"
  echo "only for $ftp_user" > "$ftp_dir/home/$ftp_user/private/secret.txt"
  chmod -R a+rX "$ftp_dir"
  id "$ftp_user" >/dev/null 2>&1 ||
    useradd -d "$ftp_dir/home/$ftp_user" -s /bin/bash "$ftp_user" || sb_fail "useradd"
  chown -R "$ftp_user" "$ftp_dir/home/$ftp_user"
  echo "$ftp_user:$ftp_pass" | chpasswd || sb_fail "chpasswd"
}

# usage: ftp_start_vsftpd ADDR YES|NO(pasv)
ftp_start_vsftpd() {
  local addr=$1 pasv=$2 conf=$ftp_dir/vsftpd-$1.conf listen="listen=YES
listen_ipv6=NO
listen_address=$1"
  [[ $addr != *:* ]] || listen="listen=NO
listen_ipv6=YES
listen_address6=$addr"
  cat > "$conf" <<CONF
$listen
listen_port=21
background=YES
anonymous_enable=YES
anon_root=$ftp_dir/anon
no_anon_password=YES
local_enable=YES
write_enable=NO
pasv_enable=$pasv
port_enable=YES
connect_from_port_20=NO
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
secure_chroot_dir=$ftp_dir/empty
pam_service_name=vsftpd
xferlog_enable=YES
log_ftp_protocol=YES
vsftpd_log_file=$ftp_dir/vsftpd-$addr.log
CONF
  vsftpd "$conf" || sb_fail "vsftpd did not start on $addr"
  sb_wait_tcp "$addr" 21
}

# usage: ftp_start_pyftpd ADDR [--no-pasv]
ftp_start_pyftpd() {
  local addr=$1
  shift
  "$ftp_python" "$ftp_src/pyftpd.py" "$addr" "$ftp_dir/anon" "$ftp_user" "$ftp_pass" \
    "$ftp_dir/home/$ftp_user" "$@" >"$ftp_dir/pyftpd-$addr.log" 2>&1 &
  sb_wait_tcp "$addr" 21
}

# usage: ftp_start_scripted ADDR:MODE...
ftp_start_scripted() {
  "$ftp_python" "$ftp_src/scripted_server.py" "$ftp_dir" "$@" >"$ftp_dir/scripted.log" 2>&1 &
  local entry
  for entry in "$@"; do sb_wait_tcp "${entry%:*}" 21; done
}

# 127.0.0.9 swallows connection attempts: neither accepted nor refused.
ftp_silent_address() {
  nft -f - <<'NFT' || sb_fail "nft rule for 127.0.0.9"
table inet kestrel_ftp_test {
  chain input {
    type filter hook input priority 0; policy accept;
    ip daddr 127.0.0.9 tcp dport 21 drop
  }
}
NFT
}

# SPDX-License-Identifier: ISC
# Shared helpers for scripts that run inside the sandbox (source this file).
# Scratch space is /sandbox (tmpfs); nothing here reaches past loopback.

sb_dir=/sandbox
mkdir -p "$sb_dir"

# Fails the calling script with a message on stderr.
sb_fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Runs a program of the build under test: through the emulator for the
# router build (KESTREL_EMULATOR is qemu-arm there), directly otherwise.
sb_target() { # PROGRAM [ARG]...
  # shellcheck disable=SC2086  # the emulator command is a word list
  ${KESTREL_EMULATOR:-} "$@"
}

# Empties DIR, but for the mount points below it and the directories that
# lead to them: a checkout under /tmp is mounted (read-only) at its own path.
sb_empty() { # DIR
  local entry mounts
  mounts=$(awk '{ print $2 }' /proc/self/mounts)
  for entry in "$1"/* "$1"/.[!.]* "$1"/..?*; do
    [ -e "$entry" ] || [ -L "$entry" ] || continue
    if grep -qxF -- "$entry" <<<"$mounts"; then
      continue
    elif [ -d "$entry" ] && [ ! -L "$entry" ] && awk -v p="$entry/" 'index($0, p) == 1 { f = 1 } END { exit !f }' <<<"$mounts"; then
      sb_empty "$entry"
    else
      rm -rf --one-file-system -- "$entry"
    fi
  done
}

# Adds IPv6 addresses to the sandbox's loopback, usable at once (no
# duplicate address detection).
sb_ipv6() { # ADDR...
  local addr
  for addr in "$@"; do
    ip addr add "$addr/128" dev lo nodad || sb_fail "cannot add $addr to lo"
  done
}

# Waits until something listens on TCP host:port, at most ~10 s.
sb_wait_tcp() {
  local host=$1 port=$2 i
  for i in $(seq 1 100); do
    if (exec 3<>"/dev/tcp/$host/$port") 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  sb_fail "nothing listens on $host:$port"
}

# Maps host names to loopback addresses in the sandbox's own /etc/hosts.
# usage: sb_hosts 127.0.0.2 dl.dbg.example.com [more names...]
sb_hosts() {
  local addr=$1
  shift
  echo "$addr $*" >> /etc/hosts
}

# A self-signed certificate for every name the tests use (made once per sandbox).
sb_certificate() {
  [ -f "$sb_dir/tls/cert.pem" ] && return 0
  mkdir -p "$sb_dir/tls"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj "/CN=kestrel test" -keyout "$sb_dir/tls/key.pem" -out "$sb_dir/tls/cert.pem" \
    >/dev/null 2>&1 || sb_fail "openssl could not make a certificate"
}

# Starts nginx serving HTTPS on ADDR:443 from ROOT.  Extra server-block
# directives (locations, return rules) can be passed as a third argument.
# usage: sb_start_nginx 127.0.0.2 /sandbox/www ['location /x { return 200 "y"; }']
sb_start_nginx() {
  local addr=$1 root=$2 extra=${3:-}
  local conf_dir=$sb_dir/nginx-$addr
  sb_certificate
  mkdir -p "$conf_dir" "$root"
  cat > "$conf_dir/nginx.conf" <<CONF
user root;
worker_processes 1;
daemon on;
pid $conf_dir/nginx.pid;
error_log $conf_dir/error.log warn;
events { worker_connections 64; }
http {
  # The format fleet tools read (nginx's default, named so it stays).
  access_log $conf_dir/access.log combined;
  default_type application/octet-stream;
  client_body_temp_path $conf_dir/body;
  proxy_temp_path $conf_dir/proxy;
  fastcgi_temp_path $conf_dir/fastcgi;
  uwsgi_temp_path $conf_dir/uwsgi;
  scgi_temp_path $conf_dir/scgi;
  server {
    listen $addr:443 ssl;
    server_name _;
    ssl_certificate $sb_dir/tls/cert.pem;
    ssl_certificate_key $sb_dir/tls/key.pem;
    root $root;
    $extra
  }
}
CONF
  nginx -c "$conf_dir/nginx.conf" -p "$conf_dir" -e "$conf_dir/error.log" \
    || sb_fail "nginx did not start on $addr (see $conf_dir/error.log)"
  sb_wait_tcp "$addr" 443
}

# The access log of the nginx started on ADDR.
sb_nginx_log() { echo "$sb_dir/nginx-$1/access.log"; }

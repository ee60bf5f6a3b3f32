#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Fake kq and date, and nginx as the three location services, then the
# test binary ($1).  Runs inside the sandbox only.
set -euo pipefail
. "$KESTREL_SOURCE_DIR/tests/sandbox/lib.sh"
mountpoint -q /sandbox || sb_fail "not inside the sandbox"

# date only records what it was asked: the clock is never set.
for d in /usr/bin/date /usr/local/bin/date; do
  printf '#!/bin/sh\nprintf "%%s\\n" "$@" > /sandbox/date_args\n' > "$d"
  chmod 755 "$d"
done
[ "$(readlink -f "$(command -v date)")" = /usr/local/bin/date ] || sb_fail "real date on PATH"

# kq prints the values the test left in /sandbox/kq_id and /sandbox/kq_code.
cat > /usr/local/bin/kq <<'KQ'
#!/bin/sh
printf '%s|' "$@" >> /sandbox/kq_args
echo >> /sandbox/kq_args
case "$2" in
  *o_zmard_id) cat /sandbox/kq_id 2>/dev/null ;;
  *o_zmard_claim_code) cat /sandbox/kq_code 2>/dev/null ;;
esac
KQ
chmod 755 /usr/local/bin/kq

# The resolve call echoes what reached it; syncTime keeps each request body
# in /sandbox/bodies-ADDR and answers with /sandbox/www/reply, or closes the
# connection without a word when there is none.
mkdir -p /sandbox/www
for addr in 127.0.0.2 127.0.0.3 127.0.0.4; do
  mkdir -p /sandbox/bodies-$addr
  sb_start_nginx $addr /sandbox/www "
    location = /device-location/resolve {
      return 200 \"addr=\$server_addr host=\$host method=\$request_method auth=\$http_authorization\n\";
    }
    location = /device-location/syncTime {
      client_body_in_file_only on;
      client_body_temp_path /sandbox/bodies-$addr;
      if (!-f /sandbox/www/reply) { return 444; }
      proxy_method GET;
      proxy_pass https://$addr/reply;
    }"
done
exec "$@"

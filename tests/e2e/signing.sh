# Signed releases for the tests (source after e2e_lib.sh).  Debian's
# signify-openbsd stands in for the router's usign: same keys, same
# signatures, same -V/-S command lines.  It is put on PATH under that name
# by signing_setup; SIGN_PATH_NO_USIGN is the PATH without it.
: "${KESTREL_PUBLISH:?KESTREL_PUBLISH names kestrel-publish}"

SIGN_KEYS=$sb_dir/keys
SIGN_BIN=$sb_dir/bin
SIGN_PATH_NO_USIGN=$PATH
E2E_SIGNING_KEY=$(e2e_cache_value KESTREL_SIGNING_KEY /etc/kestrel/update.pub)

publish() { sb_target "$KESTREL_PUBLISH" "$@"; }

# usign on PATH, and two key pairs: "release" (the one routers carry) and
# "other".
signing_setup() {
  mkdir -p "$SIGN_KEYS" "$SIGN_BIN"
  ln -sf "$(command -v signify-openbsd)" "$SIGN_BIN/usign"
  export PATH=$SIGN_BIN:$SIGN_PATH_NO_USIGN
  local k
  for k in release other; do
    [ -f "$SIGN_KEYS/$k.sec" ] && continue
    signify-openbsd -G -n -c "test key $k" -p "$SIGN_KEYS/$k.pub" -s "$SIGN_KEYS/$k.sec" \
      || sb_fail "signify-openbsd could not make a key pair"
  done
}

# The router carries the release key, or none.
install_key() { mkdir -p "$(dirname "$E2E_SIGNING_KEY")"; cp "$SIGN_KEYS/release.pub" "$E2E_SIGNING_KEY"; }
remove_key() { rm -f "$E2E_SIGNING_KEY"; }

# usign passes through the gate "usign" (e2e_arm usign holds a run at its
# next signature check).
signing_gate_usign() {
  rm -f "$SIGN_BIN/usign"
  printf '#!/bin/sh\n%s/gate usign\nexec signify-openbsd "$@"\n' "$E2E_BIN" > "$SIGN_BIN/usign"
  chmod 755 "$SIGN_BIN/usign"
}

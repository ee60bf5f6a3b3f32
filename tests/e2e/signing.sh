# SPDX-License-Identifier: ISC
# Signed releases for the tests (source after e2e_lib.sh).  Debian's
# signify-openbsd stands in for the router's usign: same keys, same
# signatures, same -V/-S command lines.  It is put on PATH under that name
# by signing_setup; SIGN_PATH_NO_USIGN is the PATH without it.
: "${KESTREL_PUBLISH:?KESTREL_PUBLISH names kestrel-publish}"

SIGN_KEYS=$sb_dir/keys
SIGN_BIN=$sb_dir/bin
SIGN_PATH_NO_USIGN=$PATH
E2E_KEYS_DIR=$(e2e_cache_value KESTREL_KEYS_DIR /etc/kestrel/keys)
E2E_OLD_KEY=/etc/kestrel/update.pub

publish() { sb_target "$KESTREL_PUBLISH" "$@"; }

# usign on PATH, and three key pairs: "release" (the one routers carry),
# "other" and "spare".
signing_setup() {
  mkdir -p "$SIGN_KEYS" "$SIGN_BIN"
  ln -sf "$(command -v signify-openbsd)" "$SIGN_BIN/usign"
  export PATH=$SIGN_BIN:$SIGN_PATH_NO_USIGN
  local k
  for k in release other spare; do
    [ -f "$SIGN_KEYS/$k.sec" ] && continue
    signify-openbsd -G -n -c "test key $k" -p "$SIGN_KEYS/$k.pub" -s "$SIGN_KEYS/$k.sec" \
      || sb_fail "signify-openbsd could not make a key pair"
  done
}

# The name usign gives a key or signature file: its key number in hex.
key_fingerprint() { # FILE
  sed -n 2p "$1" | base64 -d | od -An -tx1 -j2 -N8 | tr -d ' \n' | sed 's/^0*//'
}

# The router holds exactly the named keys (default: release), or none.
install_key() { # [NAME...]
  local k
  rm -rf "$E2E_KEYS_DIR" "$E2E_OLD_KEY"
  mkdir -p "$E2E_KEYS_DIR"
  for k in "${@:-release}"; do cp "$SIGN_KEYS/$k.pub" "$E2E_KEYS_DIR/$(key_fingerprint "$SIGN_KEYS/$k.pub")"; done
}
remove_key() { rm -rf "$E2E_KEYS_DIR" "$E2E_OLD_KEY"; }

# Signs a control file again after an edit, as the publisher does: the text
# before "[Signatures]", one signature per key.
resign() { # FILE NAME...
  local file=$1 k
  shift
  sed -i '/^\[Signatures\]$/,$d' "$file"
  [ "$#" -gt 0 ] || return 0
  for k in "$@"; do signify-openbsd -S -s "$SIGN_KEYS/$k.sec" -m "$file" -x "$sb_dir/resign.$k.sig"; done
  echo "[Signatures]" >> "$file"
  for k in "$@"; do cat "$sb_dir/resign.$k.sig" >> "$file"; done
}

# usign passes through the gate "usign" (e2e_arm usign holds a run at its
# next signature check).
signing_gate_usign() {
  rm -f "$SIGN_BIN/usign"
  printf '#!/bin/sh\n%s/gate usign\nexec signify-openbsd "$@"\n' "$E2E_BIN" > "$SIGN_BIN/usign"
  chmod 755 "$SIGN_BIN/usign"
}

#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Fetches Debian's source package of cJSON (the version of the installed
# libcjson-dev, Debian's patches applied) into DEST, for the router build.
# Uses a private source list and state under DEST: the machine's own apt
# configuration and lists are left as they are.
#
# usage: fetch-cjson.sh DEST [VERSION]
set -euo pipefail
dest=${1:?usage: fetch-cjson.sh DEST [VERSION]}
version=${2:-$(dpkg-query -W -f='${Version}\n' libcjson-dev 2>/dev/null | head -n 1 || true)}
version=${version:-1.7.15-1+deb12u4}

[ -f "$dest/tree/cJSON.c" ] && exit 0

# The mirrors and suites the machine installs from, with source indexes.
sources() {
  local f
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    awk '
      /^URIs:/ { uri = $2 } /^Suites:/ { suites = ""; for (i = 2; i <= NF; i++) suites = suites " " $i }
      /^Signed-By:/ { key = $2 }
      /^$/ { emit() } END { emit() }
      function emit(   n, s, i) {
        if (uri == "") return
        n = split(suites, s, " ")
        for (i = 1; i <= n; i++) printf "deb-src [signed-by=%s] %s %s main\n", key, uri, s[i]
        uri = ""; suites = ""; key = ""
      }' /etc/apt/sources.list.d/debian.sources
  fi
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    sed -nE 's/^deb(\s+\[[^]]*\])?\s+(\S+)\s+(\S+).*/deb-src\1 \2 \3 main/p' "$f"
  done
}

work=$dest/apt
rm -rf "$work" "$dest/tree"
mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/src"
list=$work/sources.list
sources | sort -u > "$list"
if [ ! -s "$list" ]; then
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main" > "$list"
fi

apt_opts=(-o "Dir::Etc::SourceList=$list" -o Dir::Etc::SourceParts=/dev/null
  -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache" -o Debug::NoLocking=1
  -o APT::Sandbox::User=root -qq)
echo "fetch-cjson: cjson $version from Debian's sources into $dest"
apt-get "${apt_opts[@]}" update
(cd "$work/src" && apt-get "${apt_opts[@]}" source "cjson=$version" >/dev/null)
tree=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name 'cjson-*' | head -n 1)
[ -n "$tree" ] && [ -f "$tree/cJSON.c" ] || { echo "fetch-cjson: no cJSON.c in the source package" >&2; exit 1; }
mv "$tree" "$dest/tree"
rm -rf "$work"

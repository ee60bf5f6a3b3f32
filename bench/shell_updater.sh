#!/bin/sh
# SPDX-License-Identifier: ISC
# What a firmware team would write instead of kestreld, for bench/vrouter.sh:
# the same update on the router's busybox and curl, and nothing more.  Fetch
# the module's control file, compare its version with the recorded one,
# fetch the payload, check its MD5, install it, record the version, restart
# the service.  No signatures, rollback, download caps, FTP fallback, lock
# against a second run or status file.
dir=/tmp/dbg_log_collect
host=$(sed -n 's/^dbg_ftp_path=//p' /etc/kestrel/config)
module=$(head -n 1 /module_name | tr '[:upper:]' '[:lower:]')
url=https://${host:-dl.dbg.example.com}/sw-apps/dbg_log_collect/$module
fetch() { curl -fsS -k --connect-timeout 20 -o "$2" "$url/$1"; }

# Is dotted version $2 newer than $1?
newer() {
	awk -v cur="$1" -v new="$2" 'BEGIN {
		n = split(cur, a, "."); m = split(new, b, ".")
		for (i = 1; i <= (n > m ? n : m); i++) if (a[i] + 0 != b[i] + 0) exit !(b[i] + 0 > a[i] + 0)
		exit 1 }'
}

mkdir -p $dir
fetch fileinfo.txt /tmp/fileinfo.txt || exit 1
# The [Major1] section: its file name carries the version.
values=$(sed -n '/^\[Major1\]/,/^\[/p' /tmp/fileinfo.txt)
rm -f /tmp/fileinfo.txt
version=$(echo "$values" | sed -n 's/^file=.*_V//p')
md5=$(echo "$values" | sed -n 's/^md5=//p' | tr 'A-F' 'a-f')
if [ -z "$version" ] || [ -z "$md5" ]; then
	echo "no version in the control file" >&2
	exit 1
fi
newer "$(cat $dir/dbg_version 2>/dev/null)" "$version" || exit 0

fetch dbg-gen.cfg /tmp/dbg-gen.cfg.new || { rm -f /tmp/dbg-gen.cfg.new; exit 1; }
if [ "$(md5sum < /tmp/dbg-gen.cfg.new | cut -d' ' -f1)" != "$md5" ]; then
	echo "MD5 mismatch" >&2
	rm -f /tmp/dbg-gen.cfg.new
	exit 1
fi
mv /tmp/dbg-gen.cfg.new /tmp/dbg-gen.cfg
printf %s "$version" > $dir/dbg_version
/etc/init.d/oru stop
/etc/init.d/oru start

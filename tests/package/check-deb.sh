#!/usr/bin/env bash
# Checks a kestrel .deb: built for arm64, holding exactly the three deliverables, the manual page
# and the Debian metadata, each binary for its processor (AArch64 for the program and the stub
# library, Hexagon QDSP6 for the DSP library) and without a library search path of its own; and
# lintian finds no error and no warning in it.
set -euo pipefail
deb=$1
fail() { echo "check-deb: $*" >&2; exit 1; }

[ "$(dpkg-deb -f "$deb" Architecture)" = arm64 ] || fail "architecture is not arm64"
[ "$(dpkg-deb -f "$deb" Package)" = kestrel ] || fail "package name is not kestrel"
[ -n "$(dpkg-deb -f "$deb" Depends)" ] || fail "no dependencies"
[ -n "$(dpkg-deb -f "$deb" Description)" ] || fail "no description"

expected="./usr/bin/kestrel
./usr/lib/libkestrel.so
./usr/lib/skel/libkestrel_skel.so
./usr/share/doc/kestrel/changelog.gz
./usr/share/doc/kestrel/copyright
./usr/share/lintian/overrides/kestrel
./usr/share/man/man1/kestrel.1.gz"
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
[ "$files" = "$expected" ] || fail "unexpected contents:
$files"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
dpkg-deb -x "$deb" "$tmp"
program=$tmp/usr/bin/kestrel
stub=$tmp/usr/lib/libkestrel.so
skel=$tmp/usr/lib/skel/libkestrel_skel.so
machine() { readelf -h "$1" | sed -n 's/^ *Machine: *//p'; }
[ "$(machine "$program")" = AArch64 ] || fail "kestrel is not AArch64"
[ "$(machine "$stub")" = AArch64 ] || fail "libkestrel.so is not AArch64"
[ "$(machine "$skel")" = "QUALCOMM DSP6 Processor" ] || fail "libkestrel_skel.so is not Hexagon"
readelf -d "$program" | grep -q 'NEEDED.*\[libkestrel.so\]' ||
    fail "kestrel does not list libkestrel.so as needed"
for f in "$program" "$stub" "$skel"; do
    if readelf -d "$f" | grep -qE 'RPATH|RUNPATH'; then
        fail "${f#"$tmp"} keeps a library search path (RPATH or RUNPATH)"
    fi
done
gzip -t "$tmp/usr/share/man/man1/kestrel.1.gz" || fail "the manual page is not gzip data"

command -v lintian >/dev/null || fail "lintian is missing (apt-get install lintian)"
lintian --fail-on error,warning "$deb" || fail "lintian reports errors or warnings"
echo "check-deb: $deb ok"

#!/usr/bin/env bash
# Checks a kestrel .deb: built for arm64, holding exactly the three deliverables and the manual
# page, each binary for its processor (AArch64 for the program and the stub library, Hexagon
# QDSP6 for the DSP library) and without a library search path of its own.
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
./usr/share/man/man1/kestrel.1.gz"
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
[ "$files" = "$expected" ] || fail "unexpected contents:
$files"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
dpkg-deb -x "$deb" "$tmp"
machine() { readelf -h "$1" | sed -n 's/^ *Machine: *//p'; }
[ "$(machine "$tmp/usr/bin/kestrel")" = AArch64 ] || fail "kestrel is not AArch64"
[ "$(machine "$tmp/usr/lib/libkestrel.so")" = AArch64 ] || fail "libkestrel.so is not AArch64"
[ "$(machine "$tmp/usr/lib/skel/libkestrel_skel.so")" = "QUALCOMM DSP6 Processor" ] ||
    fail "libkestrel_skel.so is not Hexagon"
readelf -d "$tmp/usr/bin/kestrel" | grep -q 'NEEDED.*\[libkestrel.so\]' ||
    fail "kestrel does not list libkestrel.so as needed"
for f in usr/bin/kestrel usr/lib/libkestrel.so usr/lib/skel/libkestrel_skel.so; do
    if readelf -d "$tmp/$f" | grep -qE 'RPATH|RUNPATH'; then
        fail "$f keeps a library search path (RPATH or RUNPATH)"
    fi
done
gzip -t "$tmp/usr/share/man/man1/kestrel.1.gz" || fail "the manual page is not gzip data"
echo "check-deb: $deb ok"

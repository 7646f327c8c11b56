#!/usr/bin/env bash
# Checks a kestrel .deb: built for arm64, holding exactly the three deliverables, kestrel-exporter
# with its systemd units, Grafana dashboard and alerting rules, the manual pages and the Debian
# metadata, each binary for its processor (AArch64 for the programs and the stub library, Hexagon
# QDSP6 for the DSP library) and without a library search path of its own; the exporter's
# library is among the dependencies, its units pass systemd-analyze, the dashboard uses only the
# exporter's metrics; kestrel-doctor does not need libadsprpc.so or libkestrel.so to start;
# kestrel-stat's manual page carries its JSON schema; each manual page names the package's other
# programs under SEE ALSO; and
# lintian finds no error and no warning in it.
set -euo pipefail
deb=$1
fail() { echo "check-deb: $*" >&2; exit 1; }

[ "$(dpkg-deb -f "$deb" Architecture)" = arm64 ] || fail "architecture is not arm64"
[ "$(dpkg-deb -f "$deb" Package)" = kestrel ] || fail "package name is not kestrel"
[ -n "$(dpkg-deb -f "$deb" Depends)" ] || fail "no dependencies"
[ -n "$(dpkg-deb -f "$deb" Description)" ] || fail "no description"

files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
expected=$(printf '%s\n' ./usr/bin/kestrel ./usr/lib/libkestrel.so ./usr/lib/skel/libkestrel_skel.so \
    ./usr/share/doc/kestrel/changelog.gz ./usr/share/doc/kestrel/copyright \
    ./usr/share/lintian/overrides/kestrel ./usr/share/man/man1/kestrel.1.gz \
    ./usr/bin/kestrel-exporter ./usr/lib/systemd/system/kestrel-exporter.service \
    ./usr/lib/systemd/system/kestrel-exporter.socket ./usr/share/kestrel/alert-rules.yml \
    ./usr/share/kestrel/grafana-dashboard.json ./usr/share/man/man1/kestrel-exporter.1.gz \
    ./usr/bin/kestrel-top ./usr/share/man/man1/kestrel-top.1.gz \
    ./usr/bin/kestrel-doctor ./usr/lib/libkestrel_doctor.so \
    ./usr/share/man/man1/kestrel-doctor.1.gz \
    ./usr/bin/kestrel-stat ./usr/share/man/man1/kestrel-stat.1.gz | sort)
[ "$files" = "$expected" ] || fail "unexpected contents:
$files"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
dpkg-deb -x "$deb" "$tmp"
program=$tmp/usr/bin/kestrel
exporter=$tmp/usr/bin/kestrel-exporter
stub=$tmp/usr/lib/libkestrel.so
skel=$tmp/usr/lib/skel/libkestrel_skel.so
machine() { readelf -h "$1" | sed -n 's/^ *Machine: *//p'; }
[ "$(machine "$program")" = AArch64 ] || fail "kestrel is not AArch64"
[ "$(machine "$stub")" = AArch64 ] || fail "libkestrel.so is not AArch64"
[ "$(machine "$skel")" = "QUALCOMM DSP6 Processor" ] || fail "libkestrel_skel.so is not Hexagon"
readelf -d "$program" | grep -q 'NEEDED.*\[libkestrel.so\]' ||
    fail "kestrel does not list libkestrel.so as needed"
for f in "$program" "$stub" "$skel" "$exporter" "$tmp/usr/bin/kestrel-top" \
    "$tmp/usr/bin/kestrel-stat"; do
    if readelf -d "$f" | grep -qE 'RPATH|RUNPATH'; then
        fail "${f#"$tmp"} keeps a library search path (RPATH or RUNPATH)"
    fi
done
gzip -t "$tmp/usr/share/man/man1/kestrel.1.gz" || fail "the manual page is not gzip data"

# The exporter: AArch64, with libmicrohttpd (which the package depends on), its manual page, a
# hardened unit on its own socket that restarts it on failure, both accepted by systemd-analyze,
# the alerting rules of the sources, and the dashboard of the sources (whose queries the
# Prometheus test runs) using only the exporter's metrics.
[ "$(machine "$exporter")" = AArch64 ] || fail "kestrel-exporter is not AArch64"
readelf -d "$exporter" | grep -q 'NEEDED.*\[libkestrel.so\]' ||
    fail "kestrel-exporter does not list libkestrel.so as needed"
# Each library of its web server is needed by it and named in the package's dependencies.
for pair in libmicrohttpd.so.12:libmicrohttpd12 libgnutls.so.30:libgnutls30 \
    libyaml-cpp.so.0.7:libyaml-cpp0.7 libsystemd.so.0:libsystemd0 libz.so.1:zlib1g \
    libcrypt.so.1:libcrypt1; do
    readelf -d "$exporter" | grep NEEDED | grep -qF "[${pair%%:*}]" ||
        fail "kestrel-exporter does not use ${pair%%:*}"
    dpkg-deb -f "$deb" Depends | grep -qE "(^|, )${pair#*:} " || fail "no dependency on ${pair#*:}"
done
# Its stop signals are blocked before any library's constructor runs: a .preinit_array entry.
readelf -d "$exporter" | grep -q 'PREINIT_ARRAY' ||
    fail "kestrel-exporter has no .preinit_array (stop signals blocked from the start)"
gzip -t "$tmp/usr/share/man/man1/kestrel-exporter.1.gz" ||
    fail "the manual page kestrel-exporter.1 is not gzip data"
unit=$tmp/usr/lib/systemd/system/kestrel-exporter.service
grep -qx 'ExecStart=/usr/bin/kestrel-exporter --web.systemd-socket.*' "$unit" ||
    fail "the unit does not start the exporter on its socket"
grep -qx 'Restart=on-failure' "$unit" || fail "the unit does not restart the exporter on failure"
for setting in DynamicUser=yes SupplementaryGroups=render ProtectSystem=strict NoNewPrivileges=yes; do
    grep -qx "$setting" "$unit" || fail "the unit lacks $setting"
done
# systemd's own check of both units, as installed: in a root made of the package and the host's
# targets and slices (which the units reach), any complaint fails.
mkdir -p "$tmp/verify-root/lib/systemd/system" "$tmp/verify-root/usr/bin"
cp /lib/systemd/system/*.target /lib/systemd/system/*.slice "$tmp/verify-root/lib/systemd/system/"
cp "$tmp"/usr/lib/systemd/system/kestrel-exporter.* "$tmp/verify-root/lib/systemd/system/"
cp "$exporter" "$tmp/verify-root/usr/bin/"
command -v systemd-analyze >/dev/null || fail "systemd-analyze is missing (apt-get install systemd)"
complaints=$(systemd-analyze verify --man=no --root="$tmp/verify-root" kestrel-exporter.service \
    kestrel-exporter.socket 2>&1) || fail "systemd-analyze verify fails: $complaints"
[ -z "$complaints" ] || fail "systemd-analyze verify complains: $complaints"
cmp -s "$tmp/usr/share/kestrel/alert-rules.yml" \
    "$(dirname "${BASH_SOURCE[0]}")/../../cmake/exporter/alert-rules.yml" ||
    fail "the alerting rules are not cmake/exporter/alert-rules.yml"
dashboard=$tmp/usr/share/kestrel/grafana-dashboard.json
cmp -s "$dashboard" "$(dirname "${BASH_SOURCE[0]}")/../../cmake/exporter/grafana-dashboard.json" ||
    fail "the dashboard is not cmake/exporter/grafana-dashboard.json"
metrics="kestrel_dsp_clock_hertz kestrel_dsp_info kestrel_dsp_last_sample_timestamp_seconds
kestrel_dsp_remoteproc_up kestrel_dsp_sample_errors_total kestrel_dsp_samples_total
kestrel_dsp_temperature_celsius kestrel_dsp_temperature_trip_celsius kestrel_dsp_up
kestrel_dsp_utilization_ratio kestrel_exporter_build_info
kestrel_exporter_scrape_duration_seconds_bucket kestrel_exporter_scrapes_in_flight
kestrel_exporter_scrapes_total"
for name in $(grep -o 'kestrel_[a-z_]*' "$dashboard" | sort -u); do
    printf '%s\n' $metrics | grep -qx "$name" ||
        fail "the dashboard uses $name, not a metric of the exporter"
done

# kestrel-top: AArch64, with ncurses' terminfo library (which the package depends on) and
# nothing else of ncurses, and its manual page.
top=$tmp/usr/bin/kestrel-top
[ "$(machine "$top")" = AArch64 ] || fail "kestrel-top is not AArch64"
readelf -d "$top" | grep -q 'NEEDED.*\[libtinfo.so.6\]' || fail "kestrel-top does not use libtinfo"
for needed in $(readelf -d "$top" | sed -n 's/.*NEEDED.*\[\(.*\)\]/\1/p'); do
    case $needed in
    libkestrel.so | libadsprpc.so | libtinfo.so.6 | libstdc++.so.6 | libm.so.6 | libgcc_s.so.1 | libc.so.6) ;;
    *) fail "kestrel-top needs $needed, which the package does not depend on" ;;
    esac
done
dpkg-deb -f "$deb" Depends | grep -q 'libtinfo6' || fail "no dependency on libtinfo6"
gzip -t "$tmp/usr/share/man/man1/kestrel-top.1.gz" || fail "the manual page kestrel-top.1 is not gzip data"

# kestrel-doctor: AArch64, starting without libadsprpc.so and libkestrel.so (it loads both
# itself), and its library, which needs libadsprpc.so, without a search path either.
doctor=$tmp/usr/bin/kestrel-doctor
doctor_lib=$tmp/usr/lib/libkestrel_doctor.so
[ "$(machine "$doctor")" = AArch64 ] || fail "kestrel-doctor is not AArch64"
[ "$(machine "$doctor_lib")" = AArch64 ] || fail "libkestrel_doctor.so is not AArch64"
if readelf -d "$doctor" | grep -qE 'NEEDED.*\[(libadsprpc|libkestrel)\.so\]'; then
    fail "kestrel-doctor lists libadsprpc.so or libkestrel.so as needed"
fi
readelf -d "$doctor_lib" | grep -q 'NEEDED.*\[libadsprpc.so\]' ||
    fail "libkestrel_doctor.so does not list libadsprpc.so as needed"
for f in "$doctor" "$doctor_lib"; do
    if readelf -d "$f" | grep -qE 'RPATH|RUNPATH'; then
        fail "${f#"$tmp"} keeps a library search path (RPATH or RUNPATH)"
    fi
done
gzip -t "$tmp/usr/share/man/man1/kestrel-doctor.1.gz" ||
    fail "the manual page kestrel-doctor.1 is not gzip data"

# kestrel-stat: AArch64, and its manual page with the schema of its JSON.
[ "$(machine "$tmp/usr/bin/kestrel-stat")" = AArch64 ] || fail "kestrel-stat is not AArch64"
gzip -t "$tmp/usr/share/man/man1/kestrel-stat.1.gz" ||
    fail "the manual page kestrel-stat.1 is not gzip data"
zcat "$tmp/usr/share/man/man1/kestrel-stat.1.gz" | grep -q 'kestrel\\-stat/1' ||
    fail "the manual page kestrel-stat.1 lacks the schema of the JSON"

# Each program's manual page names every other program of the package under SEE ALSO.
for page in "$tmp"/usr/share/man/man1/*.1.gz; do
    see_also=$(zcat "$page" | sed -n '/^\.SH SEE ALSO/,/^\.SH /p')
    for program in "$tmp"/usr/bin/*; do
        name=${program##*/}
        [ "$name.1.gz" != "${page##*/}" ] || continue
        grep -qx "\.BR $name (1),\?" <<<"$see_also" ||
            fail "the manual page ${page##*/} does not name $name under SEE ALSO"
    done
done

command -v lintian >/dev/null || fail "lintian is missing (apt-get install lintian)"
lintian --fail-on error,warning "$deb" || fail "lintian reports errors or warnings"
echo "check-deb: $deb ok"

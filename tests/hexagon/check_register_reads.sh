#!/usr/bin/env bash
# Checks how the two Hexagon builds of the DSP library read the UPCYCLE and UTIMER registers:
#   check_register_reads.sh OBJDUMP DEVICE_LIBRARY EMULATED_OBJECT EMULATOR_PROGRAM
# - the device build (libkestrel_skel.so) reads the register pairs c15:14 (UPCYCLE) and c31:30
#   (UTIMER) itself and has no calls to dsp_read_upcycle/dsp_read_utimer;
# - the emulator build of the library's objects has no such reads and calls both functions;
# - the program run under qemu-hexagon (whose user mode reads both registers as 0) contains no
#   read of either register pair at all.
set -euo pipefail

[ $# -eq 4 ] || { echo "usage: $0 OBJDUMP DEVICE_LIBRARY EMULATED_OBJECT PROGRAM" >&2; exit 2; }
objdump=$1 device=$2 emulated=$3 program=$4
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# count FILE_TEXT PATTERN: lines of the text matching the extended pattern.
count() {
    grep -cE "$2" <<<"$1" || true
}

for f in "$device" "$emulated" "$program"; do
    [ -f "$f" ] || { echo "FAIL: missing $f"; exit 1; }
done

device_text=$("$objdump" -d "$device")
device_symbols=$("$objdump" -T "$device")
n=$(count "$device_text" '= c15:14')
[ "$n" -gt 0 ] || fail "the device build does not read c15:14 (UPCYCLE)"
n=$(count "$device_text" '= c31:30')
[ "$n" -gt 0 ] || fail "the device build does not read c31:30 (UTIMER)"
n=$(count "$device_symbols" 'dsp_read_(upcycle|utimer)')
[ "$n" -eq 0 ] || fail "the device build refers to dsp_read_upcycle/dsp_read_utimer"

emulated_text=$("$objdump" -d -r "$emulated")
n=$(count "$emulated_text" '= c(15:14|31:30)')
[ "$n" -eq 0 ] || fail "the emulator build reads a control register pair ($n reads)"
n=$(count "$emulated_text" 'R_HEX_B22_PCREL[[:space:]]+dsp_read_upcycle$')
[ "$n" -gt 0 ] || fail "the emulator build does not call dsp_read_upcycle"
n=$(count "$emulated_text" 'R_HEX_B22_PCREL[[:space:]]+dsp_read_utimer$')
[ "$n" -gt 0 ] || fail "the emulator build does not call dsp_read_utimer"

program_text=$("$objdump" -d "$program")
n=$(count "$program_text" '= c(15:14|31:30)')
[ "$n" -eq 0 ] || fail "the emulator program reads a control register pair ($n reads)"

if [ "$failures" -ne 0 ]; then
    exit 1
fi
echo "register reads: device build reads c15:14 and c31:30; emulator build calls the runtime"

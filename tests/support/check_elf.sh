#!/usr/bin/env bash
# Checks the ELF properties of a built shared library or program with readelf.
#
#   check_elf.sh FILE [--class ELF32|ELF64] [--machine TEXT] [--soname NAME] [--needed NAME]...
#                [--runpath DIR:DIR...] [--exports "SYM..."] [--undefined "SYM..."]
#                [--weak-undefined "SYM..."]
#
# --runpath: the exact search path the file carries in RUNPATH and RPATH together; "" for none.
# --exports: the exact set of symbols the library defines in its dynamic symbol table with
# default visibility. --undefined: symbols that must be undefined and bound globally (strong);
# --weak-undefined: symbols that must be undefined and weak. Prints every mismatch; exit 1 if any.
set -euo pipefail

file=$1
shift
fail=0
bad() {
    echo "check_elf: $file: $*" >&2
    fail=1
}

[ -f "$file" ] || {
    echo "check_elf: no such file: $file" >&2
    exit 1
}

header=$(readelf -hW "$file")
dynamic=$(readelf -dW "$file")
# "BIND NDX NAME" for every dynamic symbol with default visibility, versions stripped.
symbols=$(readelf --dyn-syms -W "$file" |
    awk '$1 ~ /^[0-9]+:$/ && $6 == "DEFAULT" && $8 != "" { sub(/@.*/, "", $8); print $5, $7, $8 }')

while [ $# -gt 0 ]; do
    opt=$1
    arg=${2-}
    shift 2 || {
        echo "check_elf: $opt needs a value" >&2
        exit 2
    }
    case $opt in
        --class)
            got=$(awk -F: '/^ *Class:/ { gsub(/ /, "", $2); print $2 }' <<<"$header")
            [ "$got" = "$arg" ] || bad "class is '$got', expected '$arg'"
            ;;
        --machine)
            got=$(awk -F: '/^ *Machine:/ { sub(/^ +/, "", $2); print $2 }' <<<"$header")
            [ "$got" = "$arg" ] || bad "machine is '$got', expected '$arg'"
            ;;
        --soname)
            got=$(sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p' <<<"$dynamic")
            [ "$got" = "$arg" ] || bad "SONAME is '$got', expected '$arg'"
            ;;
        --runpath)
            got=$(sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]/\2/p' <<<"$dynamic" | paste -sd:)
            [ "$got" = "$arg" ] || bad "RUNPATH/RPATH is '$got', expected '$arg'"
            ;;
        --needed)
            grep -q "(NEEDED).*\[$arg\]" <<<"$dynamic" || bad "no DT_NEEDED entry for $arg"
            ;;
        --exports)
            got=$(awk '$2 != "UND" && ($1 == "GLOBAL" || $1 == "WEAK") { print $3 }' \
                <<<"$symbols" | sort -u)
            want=$(tr ' ' '\n' <<<"$arg" | sed '/^$/d' | sort -u)
            if [ "$got" != "$want" ]; then
                bad "exported symbols differ (< unexpected, > missing):"
                diff <(echo "$got") <(echo "$want") | grep '^[<>]' >&2 || true
            fi
            ;;
        --undefined | --weak-undefined)
            bind=GLOBAL
            [ "$opt" = --weak-undefined ] && bind=WEAK
            for s in $arg; do
                line=$(awk -v s="$s" '$3 == s { print $1, $2 }' <<<"$symbols" | head -n1)
                [ "$line" = "$bind UND" ] ||
                    bad "$s is '${line:-absent}', expected '$bind UND'"
            done
            ;;
        *)
            echo "check_elf: unknown option $opt" >&2
            exit 2
            ;;
    esac
done

[ $fail -eq 0 ] && echo "check_elf: $file: all properties as expected"
exit $fail

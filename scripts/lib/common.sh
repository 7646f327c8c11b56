# Shared helpers of the project's scripts. Sourced, not run.

# Found by going there and back in this shell, without a subshell or dirname: this runs at the
# start of every scripts/run, where a process more is a few ms more.
case "${BASH_SOURCE[0]}" in
*/*) CDPATH='' builtin cd -- "${BASH_SOURCE[0]%/*}/../.." ;;
*) CDPATH='' builtin cd -- ../.. ;;
esac
KESTREL_ROOT=$PWD
builtin cd -- "$OLDPWD"

# Debian packages needed to build and run kestrel and kestrel-exporter on the virtual board (the
# run preset).
KESTREL_RUN_PACKAGES=(cmake ninja-build g++ pkg-config libfmt-dev nlohmann-json3-dev umockdev
    libmicrohttpd-dev libgnutls28-dev libyaml-cpp-dev libsystemd-dev zlib1g-dev libcrypt-dev)
# kestrel-top draws with ncurses.
KESTREL_RUN_PACKAGES+=(libncurses-dev)
# Further packages for the full test suite: GoogleTest, benchmarks, cross and emulated targets,
# the package and its check, the Prometheus server that scrapes the exporter in its tests, and
# what the exporter's web tests use: openssl (certificates), curl (TLS clients), htpasswd
# (bcrypt hashes) and systemd-socket-activate.
KESTREL_TEST_PACKAGES=("${KESTREL_RUN_PACKAGES[@]}" googletest libgtest-dev libgmock-dev
    libbenchmark-dev clang lld llvm qemu-user g++-aarch64-linux-gnu clang-format valgrind lintian
    prometheus openssl curl apache2-utils systemd)
# kestrel-top's tests run it in a real terminal emulator.
KESTREL_TEST_PACKAGES+=(tmux)
# kestrel-stat's tests validate its JSON against its schema (with Debian's /usr/bin/python3).
KESTREL_TEST_PACKAGES+=(python3-jsonschema)

# kestrel_need_packages PKG... : installs the packages that are missing (as root), or says
# exactly what to install and fails. One dpkg-query looks at them all; a list found installed is
# noted in build/.packages-installed and not looked at again until dpkg's status file changes
# (as it does whenever a package is installed or removed).
kestrel_need_packages() {
    local list="$*" stamp="$KESTREL_ROOT/build/.packages-installed"
    local dpkg_status=/var/lib/dpkg/status line
    if [ -f "$stamp" ] && ! [ "$dpkg_status" -nt "$stamp" ]; then
        while IFS= read -r line; do
            [ "$line" = "$list" ] && return 0
        done <"$stamp"
    fi
    local installed missing=() p
    installed=$(dpkg-query -W -f='${Package} ${db:Status-Abbrev}\n' "$@" 2>/dev/null || true)
    for p in "$@"; do
        [[ $'\n'"$installed" == *$'\n'"$p ii "* ]] || missing+=("$p")
    done
    if [ ${#missing[@]} -eq 0 ]; then
        mkdir -p "$KESTREL_ROOT/build"
        if [ -f "$stamp" ] && ! [ "$dpkg_status" -nt "$stamp" ]; then
            echo "$list" >>"$stamp"
        else
            echo "$list" >"$stamp"
        fi
        return 0
    fi
    if [ "$(id -u)" -ne 0 ]; then
        echo "kestrel: missing packages: ${missing[*]}" >&2
        echo "kestrel: install them with: sudo apt-get install ${missing[*]}" >&2
        return 1
    fi
    local log
    log=$(mktemp)
    if ! { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
        --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
        cat "$log" >&2
        echo "kestrel: could not install: ${missing[*]}" >&2
        rm -f "$log"
        return 1
    fi
    rm -f "$log"
}

# The arm64 packages whose libraries the AArch64 build links kestrel-exporter against and runs it
# with under qemu-aarch64: libmicrohttpd12, libgnutls30, libyaml-cpp0.7, libsystemd0, zlib1g and
# libcrypt1, and the closure of their run-time dependencies (apt-cache depends --recurse), less
# the C and C++ run time (libc6, libgcc-s1, libstdc++6, gcc-12-base), which the cross toolchain
# brings. Their headers, in /usr/include from the host's -dev packages, are the same files for
# every architecture.
KESTREL_TARGET_PACKAGES=(libmicrohttpd12 libgnutls30 libnettle8 libhogweed6 libgmp10 libidn2-0
    libunistring2 libp11-kit0 libtasn1-6 libffi8 libyaml-cpp0.7 libsystemd0 libcap2 libgcrypt20
    libgpg-error0 liblz4-1 liblzma5 libzstd1 zlib1g libcrypt1)
# kestrel-top's terminfo library (ncurses').
KESTREL_TARGET_PACKAGES+=(libtinfo6)
# Where they are unpacked; the aarch64 preset's KESTREL_TARGET_PACKAGES_DIR names it.
KESTREL_TARGET_PACKAGES_DIR="$KESTREL_ROOT/build/target-packages/arm64"

# kestrel_target_packages : downloads the arm64 packages above (apt-get download) and unpacks
# them (dpkg-deb -x) into KESTREL_TARGET_PACKAGES_DIR, once. Nothing is installed: an installed
# arm64 libc6 (which libmicrohttpd-dev:arm64 would bring) lands in /lib/aarch64-linux-gnu, where
# qemu-aarch64's dynamic loader takes it in place of the cross toolchain's, and every threaded
# program under qemu hangs. apt only needs arm64 among dpkg's architectures to download them.
kestrel_target_packages() {
    local dir=$KESTREL_TARGET_PACKAGES_DIR
    local list="${KESTREL_TARGET_PACKAGES[*]}"
    [ "$(cat "$dir/.packages" 2>/dev/null)" = "$list" ] && return 0
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then
        if [ "$(id -u)" -ne 0 ]; then
            echo "kestrel: apt does not know arm64 packages; as root run:" >&2
            echo "kestrel:   dpkg --add-architecture arm64 && apt-get update" >&2
            return 1
        fi
        dpkg --add-architecture arm64
        apt-get update -qq >/dev/null 2>&1 || true
    fi
    local tmp log
    mkdir -p "$(dirname "$dir")"
    tmp=$(mktemp -d "$dir.XXXXXX")
    log="$tmp/download.log"
    mkdir "$tmp/debs" "$tmp/root"
    local download=(apt-get download "${KESTREL_TARGET_PACKAGES[@]/%/:arm64}")
    # A first failure may come from package lists older than the archive: update them (as
    # root) and try once more.
    if ! (cd "$tmp/debs" && "${download[@]}") >"$log" 2>&1; then
        if [ "$(id -u)" -eq 0 ]; then
            apt-get update -qq >>"$log" 2>&1 || true
        fi
        if ! (cd "$tmp/debs" && "${download[@]}") >>"$log" 2>&1; then
            cat "$log" >&2
            echo "kestrel: could not download the arm64 packages: $list" >&2
            rm -rf "$tmp"
            return 1
        fi
    fi
    local deb
    for deb in "$tmp"/debs/*.deb; do
        dpkg-deb -x "$deb" "$tmp/root"
    done
    # Some of them put their library in /lib, others in /usr/lib: all go to usr/lib, the one
    # folder the build links from and the emulator's prefix serves.
    if [ -d "$tmp/root/lib" ]; then
        mkdir -p "$tmp/root/usr/lib"
        cp -a "$tmp/root/lib/." "$tmp/root/usr/lib/"
        rm -rf "$tmp/root/lib"
    fi
    echo "$list" >"$tmp/root/.packages"
    rm -rf "$dir"
    mv "$tmp/root" "$dir"
    rm -rf "$tmp"
}

# kestrel_build_quiet PRESET [TARGET...] : configures (first time) and builds a preset, output
# to build/PRESET.log; shows that log only when something fails. Every preset builds in
# build/PRESET (CMakePresets.json) with Ninja, which is run directly: an up-to-date build then
# costs one look at the files it knows. While something is built and standard error is a
# terminal, one line there tells what and how far (ninja's percentage, through NINJA_STATUS),
# and is erased at the end; with no terminal nothing is printed, as when nothing is built.
kestrel_build_quiet() {
    local preset=$1
    shift
    local log="$KESTREL_ROOT/build/$preset.log"
    local status=0
    [ -d "$KESTREL_ROOT/build" ] || mkdir -p "$KESTREL_ROOT/build"
    if [ -t 2 ]; then
        # The build's status, from inside the pipeline that shows its progress.
        status=$(
            set +e
            kestrel_build "$preset" "$@" 2>&1 | kestrel_build_progress "$preset" "$log"
            echo "${PIPESTATUS[0]}"
        )
    else
        kestrel_build "$preset" "$@" >"$log" 2>&1 || status=$?
    fi
    if [ "$status" -ne 0 ]; then
        cat "$log" >&2
        echo "kestrel: build of preset '$preset' failed (log: $log)" >&2
        return 1
    fi
}

# kestrel_build PRESET [TARGET...] : the configure (first time) and the build, output on
# standard output with ninja's status lines starting "[NN%] ".
kestrel_build() {
    local preset=$1
    shift
    if [ ! -f "$KESTREL_ROOT/build/$preset/build.ninja" ]; then
        echo "[  0%] Configuring preset $preset"
        (cd "$KESTREL_ROOT" && cmake --preset "$preset") || return 1
    fi
    NINJA_STATUS="[%p] " ninja -C "$KESTREL_ROOT/build/$preset" "$@"
}

# kestrel_build_progress PRESET LOG : copies the build's output (standard input) to LOG and
# shows its status lines, one over the other, on standard error; erases the line at the end.
kestrel_build_progress() {
    local preset=$1 log=$2 line cols="" shown=0
    : >"$log"
    while IFS= read -r line; do
        printf '%s\n' "$line" >>"$log"
        if [[ $line =~ ^\[\ *[0-9]+%\]\  ]]; then
            if [ -z "$cols" ]; then
                # The line is cut to the terminal's width, so that it never wraps.
                cols=$( (stty size <&2) 2>/dev/null) || true
                cols=${cols#* }
                [[ $cols =~ ^[0-9]+$ ]] && [ "$cols" -gt 20 ] || cols=80
            fi
            line="kestrel: building $preset ${line}"
            printf '\r\033[K%s' "${line:0:cols-1}" >&2
            shown=1
        fi
    done
    [ "$shown" -eq 0 ] || printf '\r\033[K' >&2
}

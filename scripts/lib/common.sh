# Shared helpers of the project's scripts. Sourced, not run.

KESTREL_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# Debian packages needed to build and run kestrel and kestrel-exporter on the virtual board (the
# run preset).
KESTREL_RUN_PACKAGES=(cmake ninja-build g++ pkg-config libfmt-dev nlohmann-json3-dev umockdev
    libmicrohttpd-dev)
# Further packages for the full test suite: GoogleTest, benchmarks, cross and emulated targets,
# the package and its check, and the Prometheus server that scrapes the exporter in its tests.
KESTREL_TEST_PACKAGES=("${KESTREL_RUN_PACKAGES[@]}" googletest libgtest-dev libgmock-dev
    libbenchmark-dev clang lld llvm qemu-user g++-aarch64-linux-gnu clang-format valgrind lintian
    prometheus)

# kestrel_need_packages PKG... : installs the packages that are missing (as root), or says
# exactly what to install and fails.
kestrel_need_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
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

# kestrel_build_quiet PRESET [TARGET...] : configures (first time) and builds a preset, output
# to build/PRESET.log; shows that log only when something fails. Every preset builds in
# build/PRESET (CMakePresets.json).
kestrel_build_quiet() {
    local preset=$1
    shift
    local log="$KESTREL_ROOT/build/$preset.log"
    mkdir -p "$KESTREL_ROOT/build"
    (
        cd "$KESTREL_ROOT" || exit 1
        if [ ! -f "build/$preset/CMakeCache.txt" ]; then
            cmake --preset "$preset" || exit 1
        fi
        if [ $# -gt 0 ]; then
            cmake --build --preset "$preset" --target "$@"
        else
            cmake --build --preset "$preset"
        fi
    ) >"$log" 2>&1 || {
        cat "$log" >&2
        echo "kestrel: build of preset '$preset' failed (log: $log)" >&2
        return 1
    }
}

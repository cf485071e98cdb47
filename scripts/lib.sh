# Shared by the scripts: install what is missing, configure and build.
# Sourced, not run.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${NORVALE_BUILD:-$ROOT/build}

PACKAGES=(cmake ninja-build ccache g++ clang libclang-rt-14-dev qt6-base-dev qt6-base-dev-tools
          qt6-serialport-dev libsqlite3-dev libgtest-dev libgmock-dev dbus dbus-daemon
          dbus-x11 xvfb xauth fonts-dejavu-core libgl-dev python3-dbus python3-gi
          libglib2.0-bin qt6-multimedia-dev libxlsxwriter-dev python3-openpyxl python3-uno
          libreoffice-script-provider-python at-spi2-core python3-pyatspi gir1.2-atspi-2.0
          help2man dpkg-dev qt6-charts-dev poppler-utils desktop-file-utils python3-pil
          libreoffice-calc libreoffice-gtk3 openbox xdotool imagemagick x11-utils
          libmosquitto-dev mosquitto mosquitto-clients python3-paho-mqtt openssl)
# The desktop's Calc with its GTK plug-in, whose toolbars the accessibility
# tree shows, serves the headless tests too; installing it replaces the
# headless-only libreoffice-calc-nogui, with which it conflicts.

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

ensure_packages() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing: ${missing[*]}" >&2
        as_root apt-get update -qq
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >&2
    fi
}

# How the sanitized programs report: every finding ends the process with an
# error and a stack, in the tests and in the servers the bus starts for them.
sanitizer_environment() {
    export ASAN_OPTIONS=${ASAN_OPTIONS:-check_initialization_order=1}
    export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
    export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$ROOT/.ci/lsan.supp:print_suppressions=0}
}

build_all() {
    local extra=()
    [ "${CI:-}" = "true" ] && extra+=(-DNORVALE_WERROR=ON)
    if [ "${NORVALE_SANITIZE:-0}" = "1" ]; then
        extra+=(-DNORVALE_SANITIZE=ON)
        sanitizer_environment
    fi
    # A compiler cache, where there is one, makes a rebuild of an unchanged
    # tree (another clone, a second build directory) take seconds; paths are
    # taken relative to the source tree so that any clone hits the same entries.
    if command -v ccache >/dev/null; then
        extra+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
        export CCACHE_BASEDIR="$ROOT" CCACHE_NOHASHDIR=1
    fi
    # -D rather than a default, so that an existing build directory follows too.
    extra+=(-DNORVALE_FUZZ=$([ "${NORVALE_FUZZ:-1}" = "1" ] && echo ON || echo OFF))
    cmake -S "$ROOT" -B "$BUILD" -G Ninja "${extra[@]}" >/dev/null
    cmake --build "$BUILD" -j2
}

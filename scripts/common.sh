# Shared by the scripts: install what is missing, say what each stage does, configure a build.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
JOBS=$(nproc 2>/dev/null || echo 2)

# One short line per stage, so a long run says where it is.
stage() {
    echo "==> $*"
}

# Runs "$@" quietly; if it fails, shows what it said and fails too.
quietly() {
    local log
    log=$(mktemp)
    if ! "$@" >"$log" 2>&1; then
        cat "$log" >&2
        rm -f "$log"
        return 1
    fi
    rm -f "$log"
}

# Installs the Debian packages among "$@" that are not installed yet, and nothing else.
install_missing() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' \
            || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    stage "installing ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    quietly "${sudo[@]}" apt-get update
    quietly "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y --no-install-recommends "${missing[@]}"
}

# The Debian packages each Qt major version builds with.
qt_packages() {
    case "$1" in
    5) echo qtbase5-dev libqt5serialport5-dev libqt5websockets5-dev ;;
    6) echo qt6-base-dev qt6-serialport-dev qt6-websockets-dev libgl-dev ;;
    *) echo "unknown Qt major version: $1" >&2 && return 1 ;;
    esac
}

# shellcheck disable=SC2207
BUILD_PACKAGES=(cmake make g++ pkg-config fonts-dejavu-core libeigen3-dev libmosquitto-dev
    $(qt_packages 5))
# shellcheck disable=SC2207
QT6_PACKAGES=($(qt_packages 6))
# The tests start their own MQTT broker and make their own TLS certificates.
TEST_PACKAGES=(mosquitto mosquitto-clients openssl chromium chromium-driver python3-selenium)
FUZZ_PACKAGES=(clang libclang-rt-14-dev)
BENCH_PACKAGES=(libbenchmark-dev)
PACKAGE_PACKAGES=(dpkg-dev file fakeroot lintian desktop-file-utils appstream)

# configure DIR [cmake options...]: a no-op when nothing changed.
configure() {
    local dir=$1
    shift
    stage "configuring ${dir#"$ROOT"/}"
    quietly cmake -S "$ROOT" -B "$dir" "$@"
}

# build DIR [targets...]
build() {
    local dir=$1
    shift
    stage "building ${dir#"$ROOT"/}"
    local targets=()
    [ $# -gt 0 ] && targets=(--target "$@")
    quietly cmake --build "$dir" -j "$JOBS" "${targets[@]}"
}

# run_tests DIR: the whole ctest suite of a build.
run_tests() {
    stage "testing ${1#"$ROOT"/}"
    (cd "$1" && ctest --output-on-failure -j "$JOBS")
}

# Shared by the run, test and bench scripts: install what is missing, then build.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
JOBS=$(nproc 2>/dev/null || echo 2)

# Installs the Debian packages among "$@" that are not installed yet, and nothing else.
install_missing() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' \
            || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

BUILD_PACKAGES=(cmake make g++ qtbase5-dev libqt5serialport5-dev fonts-dejavu-core)
FUZZ_PACKAGES=(clang libclang-rt-14-dev)
BENCH_PACKAGES=(libbenchmark-dev)

# configure DIR [cmake options...]: a no-op when nothing changed.
configure() {
    local dir=$1
    shift
    cmake -S "$ROOT" -B "$dir" "$@" >/dev/null
}

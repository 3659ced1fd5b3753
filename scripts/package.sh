#!/usr/bin/env bash
# Installs what is missing, builds with Debian's hardening flags, and makes two packages with
# CPack: zorvan (the viewer) and zorvan-tools (the simulated kit and the tap); prints their
# paths last, the viewer's first.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
# Everything but the paths goes to stderr, so that callers can take them from stdout.
exec 3>&1 1>&2

install_missing "${BUILD_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"
dir="$ROOT/build-package"
export DEB_BUILD_MAINT_OPTIONS="hardening=+all"
flags="$(cd "$ROOT" && dpkg-buildflags --get CPPFLAGS) $(cd "$ROOT" && dpkg-buildflags --get CXXFLAGS)"
configure "$dir" -DZORVAN_TESTS=OFF -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="$(cd "$ROOT" && dpkg-buildflags --get LDFLAGS)"
build "$dir"
stage "packaging ${dir#"$ROOT"/}"
rm -f "$dir"/zorvan*.deb
(cd "$dir" && quietly cpack -G DEB)
ls "$dir"/zorvan_*.deb >&3
ls "$dir"/zorvan-tools_*.deb >&3

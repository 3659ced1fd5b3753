#!/usr/bin/env bash
# Checks a built .deb as a distribution would: the files a desktop user needs are in it, the
# desktop entry and AppStream metadata validate, and lintian finds no error.
set -euo pipefail
deb=$1
failed=0
fail() {
    echo "package check failed: $*" >&2
    failed=1
}

contents=$(dpkg-deb --contents "$deb" | awk '{print $NF}' | sed 's|^\./|/|')
for path in /usr/bin/zorvan /usr/bin/zorvan-kit \
    /usr/share/applications/org.zorvan.Zorvan.desktop \
    /usr/share/icons/hicolor/scalable/apps/zorvan.svg \
    /usr/share/metainfo/org.zorvan.Zorvan.metainfo.xml \
    /usr/share/man/man1/zorvan.1.gz /usr/share/man/man1/zorvan-kit.1.gz \
    /usr/share/doc/zorvan/copyright /usr/share/doc/zorvan/changelog.gz; do
    grep -qx "$path" <<<"$contents" || fail "$path is missing"
done
grep -q "^License: MIT" <(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/zorvan/copyright) \
    || fail "the copyright file does not name the MIT licence"
depends=$(dpkg-deb --field "$deb" Depends)
grep -q "libqt.*serialport" <<<"$depends" || fail "Depends lacks the serial port library: $depends"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
dpkg-deb -x "$deb" "$scratch"
desktop-file-validate "$scratch/usr/share/applications/org.zorvan.Zorvan.desktop" \
    || fail "desktop-file-validate"
appstreamcli validate --no-net "$scratch/usr/share/metainfo/org.zorvan.Zorvan.metainfo.xml" \
    || fail "appstreamcli validate"
for page in zorvan zorvan-kit; do
    man -l "$scratch/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null | grep . && fail "man page $page"
done

# Lintian's warnings and notes are listed; only errors fail the check.
report=$(lintian --tag-display-limit 0 "$deb" 2>&1 | grep -v 'running with root privileges' || true)
[ -n "$report" ] && echo "$report"
grep -q '^E: ' <<<"$report" && fail "lintian reports errors"

[ "$failed" -eq 0 ] && echo "package checks passed: $deb"
exit "$failed"

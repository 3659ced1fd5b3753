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
for path in /usr/bin/zorvan /usr/bin/zorvan-kit /usr/bin/zorvan-tap \
    /usr/share/applications/org.zorvan.Zorvan.desktop \
    /usr/share/icons/hicolor/scalable/apps/zorvan.svg \
    /usr/share/metainfo/org.zorvan.Zorvan.metainfo.xml \
    /usr/share/man/man1/zorvan.1.gz /usr/share/man/man1/zorvan-kit.1.gz \
    /usr/share/man/man1/zorvan-tap.1.gz \
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
for page in zorvan zorvan-kit zorvan-tap; do
    man -l "$scratch/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null | grep . && fail "man page $page"
done

# The installed tools work together: the kit serves the tap, which records; the capture reads
# back with every frame, and the kit replays it.
listening_port() {
    for _ in $(seq 50); do
        sed -n 's/^listening: .*:\([0-9]*\)$/\1/p' "$1" | grep . && return
        sleep 0.1
    done
}
run_installed_tools() {
    local bin=$scratch/usr/bin kit_out=$scratch/kit.out tap_out=$scratch/tap.out
    "$bin/zorvan-kit" --listen 127.0.0.1:0 --rate 200 --count 50 >"$kit_out" &
    local kit=$! port
    port=$(listening_port "$kit_out")
    "$bin/zorvan-tap" --kit "127.0.0.1:$port" --listen 127.0.0.1:0 --quiet \
        --record "$scratch/run.zvcap" >"$tap_out" 2>&1 &
    local tap=$!
    wait "$kit" || return 1
    sleep 0.2
    kill -TERM "$tap"
    wait "$tap" || return 1
    "$bin/zorvan-tap" --summary "$scratch/run.zvcap" | grep -q '^frames: 50,' || return 1
    "$bin/zorvan-kit" --listen 127.0.0.1:0 --replay "$scratch/run.zvcap" --speed 0 >"$kit_out" &
    kit=$!
    port=$(listening_port "$kit_out")
    timeout 10 bash -c "cat </dev/tcp/127.0.0.1/$port" >"$scratch/replayed" || return 1
    wait "$kit" || return 1
    [ "$(stat -c %s "$scratch/replayed")" -eq $((50 * 52)) ]
}
run_installed_tools || fail "the installed kit and tap do not work together"

# Lintian's warnings and notes are listed; only errors fail the check.
report=$(lintian --tag-display-limit 0 "$deb" 2>&1 | grep -v 'running with root privileges' || true)
[ -n "$report" ] && echo "$report"
grep -q '^E: ' <<<"$report" && fail "lintian reports errors"

[ "$failed" -eq 0 ] && echo "package checks passed: $deb"
exit "$failed"

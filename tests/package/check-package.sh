#!/usr/bin/env bash
# Checks the built packages as a distribution would: each holds the files its users need, the
# tools' package needs nothing of a display and works on its own, the desktop entry and
# AppStream metadata validate, and lintian finds no error.
# Usage: check-package.sh VIEWER.deb TOOLS.deb
set -euo pipefail
viewer=$1
tools=$2
failed=0
fail() {
    echo "package check failed: $*" >&2
    failed=1
}

# has DEB PATH...: every PATH is in DEB.
has() {
    local deb=$1 contents path
    shift
    contents=$(dpkg-deb --contents "$deb" | awk '{print $NF}' | sed 's|^\./|/|')
    for path in "$@"; do
        grep -qx "$path" <<<"$contents" || fail "$path is missing from $(basename "$deb")"
    done
}
has "$viewer" /usr/bin/zorvan /usr/share/applications/org.zorvan.Zorvan.desktop \
    /usr/share/icons/hicolor/scalable/apps/zorvan.svg \
    /usr/share/metainfo/org.zorvan.Zorvan.metainfo.xml /usr/share/man/man1/zorvan.1.gz \
    /usr/share/doc/zorvan/copyright /usr/share/doc/zorvan/changelog.gz
has "$tools" /usr/bin/zorvan-kit /usr/bin/zorvan-tap /usr/share/man/man1/zorvan-kit.1.gz \
    /usr/share/man/man1/zorvan-tap.1.gz /usr/share/doc/zorvan-tools/copyright \
    /usr/share/doc/zorvan-tools/changelog.gz
for deb in "$viewer" "$tools"; do
    package=$(dpkg-deb --field "$deb" Package)
    grep -q "^License: MIT" <(dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/share/doc/$package/copyright") \
        || fail "the copyright file of $package does not name the MIT licence"
done
grep -q "libqt.*serialport" <<<"$(dpkg-deb --field "$viewer" Depends)" \
    || fail "the viewer's Depends lacks the serial port library"
depends=$(dpkg-deb --field "$tools" Depends)
grep -q "libqt.*serialport" <<<"$depends" || fail "the tools' Depends lacks the serial port library"
grep -q "libmosquitto" <<<"$depends" || fail "the tools' Depends lacks the MQTT client library"
grep -Eiq "libqt[0-9]*(gui|widgets)|zorvan( |,|$)" <<<"$depends" \
    && fail "the tools' package depends on a display library or on the viewer: $depends"
grep -q "zorvan-tools" <<<"$(dpkg-deb --field "$viewer" Recommends)" \
    || fail "the viewer does not recommend the tools"
# apt resolves the tools' package alone; simulated, so that no one needs to be root.
apt-get install --simulate --no-install-recommends "$(realpath "$tools")" >/dev/null 2>&1 \
    || fail "apt cannot install the tools' package on its own"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
dpkg-deb -x "$viewer" "$scratch/viewer"
dpkg-deb -x "$tools" "$scratch/tools"
desktop-file-validate "$scratch/viewer/usr/share/applications/org.zorvan.Zorvan.desktop" \
    || fail "desktop-file-validate"
appstreamcli validate --no-net "$scratch/viewer/usr/share/metainfo/org.zorvan.Zorvan.metainfo.xml" \
    || fail "appstreamcli validate"
for page in viewer/usr/share/man/man1/zorvan tools/usr/share/man/man1/zorvan-kit \
    tools/usr/share/man/man1/zorvan-tap; do
    man -l "$scratch/$page.1.gz" 2>&1 >/dev/null | grep . && fail "man page $page"
done

# The tools from their own package work together: the kit serves the tap, which records; the
# capture reads back with every frame, and the kit replays it.
listening_port() {
    for _ in $(seq 50); do
        sed -n 's/^listening: .*:\([0-9]*\)$/\1/p' "$1" | grep . && return
        sleep 0.1
    done
}
run_installed_tools() {
    local bin=$scratch/tools/usr/bin kit_out=$scratch/kit.out tap_out=$scratch/tap.out
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

# The installed tap calibrates from a capture, serves its page, and publishes to a broker.
run_installed_extras() {
    local bin=$scratch/tools/usr/bin kit_out=$scratch/kit2.out tap_out=$scratch/tap2.out
    "$bin/zorvan-kit" --listen 127.0.0.1:0 --rate 0 --count 600 --path walk --noise-cm 2 \
        --misplace 1:100,-60 >"$kit_out" &
    local kit=$! port
    port=$(listening_port "$kit_out")
    "$bin/zorvan-tap" --kit "127.0.0.1:$port" --listen 127.0.0.1:0 --quiet \
        --record "$scratch/walk.zvcap" >/dev/null 2>&1 &
    local tap=$!
    wait "$kit" || return 1
    sleep 0.2
    kill -TERM "$tap"
    wait "$tap" || return 1
    "$bin/zorvan-tap" --calibrate "$scratch/walk.zvcap" | grep -q "misplaced: stands at" || return 1

    "$bin/zorvan-kit" --listen 127.0.0.1:0 --rate 50 >"$kit_out" &
    kit=$!
    port=$(listening_port "$kit_out")
    local broker=
    if command -v mosquitto >/dev/null || [ -x /usr/sbin/mosquitto ]; then
        local mqtt_port=$((20000 + RANDOM % 20000))
        printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$mqtt_port" \
            >"$scratch/mosquitto.conf"
        chmod 755 "$scratch"
        chmod 644 "$scratch/mosquitto.conf"
        "$(command -v mosquitto || echo /usr/sbin/mosquitto)" -c "$scratch/mosquitto.conf" \
            >/dev/null 2>&1 &
        broker=$!
        sleep 0.5
    fi
    "$bin/zorvan-tap" --kit "127.0.0.1:$port" --listen 127.0.0.1:0 --quiet --web 127.0.0.1:0 \
        ${broker:+--mqtt mqtt://127.0.0.1:$mqtt_port --kit-name package} >"$tap_out" 2>&1 &
    tap=$!
    local web ok=0
    for _ in $(seq 50); do
        web=$(sed -n 's|^web: http://127.0.0.1:\([0-9]*\)/$|\1|p' "$tap_out") && [ -n "$web" ] && break
        sleep 0.1
    done
    if [ -n "$web" ] && exec 9<>"/dev/tcp/127.0.0.1/$web"; then
        printf 'GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n' >&9
        timeout 5 cat <&9 | grep -q '<canvas id="canvas"' || ok=1
        exec 9<&-
    else
        ok=1
    fi
    if [ -n "$broker" ]; then
        timeout 10 mosquitto_sub -h 127.0.0.1 -p "$mqtt_port" -t 'zorvan/package/tag/+/position' -C 1 \
            | grep -q '"seq"' || ok=1
        kill "$broker"
    fi
    kill -TERM "$tap" "$kit"
    wait "$tap" "$kit" 2>/dev/null
    return $ok
}
run_installed_extras || fail "the installed tap does not calibrate, serve its page or publish"

# Lintian's warnings and notes are listed; only errors fail the check.
report=$(lintian --tag-display-limit 0 "$viewer" "$tools" 2>&1 | grep -v 'running with root privileges' || true)
[ -n "$report" ] && echo "$report"
grep -q '^E: ' <<<"$report" && fail "lintian reports errors"

[ "$failed" -eq 0 ] && echo "package checks passed: $viewer $tools"
exit "$failed"

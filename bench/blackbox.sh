#!/usr/bin/env bash
# Measures the viewer from outside, as a user's machine would run it: the built program under
# Xvfb, connected by typing into its form, fed at the serial line's rate over loopback TCP.
# Prints, per kind of frames and scene, the median, lowest and highest CPU per report over the
# repeats. Smooth frames are a kit's tag walking; jumping ones put the tag anywhere and the
# ranges anywhere from 1 to 7 m, as a noisy kit does.
# Usage: bench/blackbox.sh [BUILD_DIR] [SECONDS] [REPEATS] [FRAMES...]
# Installs what is missing and builds the optimised viewer first, unless BUILD_DIR is given.
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
BUILD=${1:-$ROOT/build-bench}
# Everything here runs in a network namespace of its own with loopback only, so a click that
# lands on Connect before 127.0.0.1 is typed reaches nothing beyond this machine.
if [ -z "${ZORVAN_ISOLATED:-}" ]; then
    install_missing "${BUILD_PACKAGES[@]}" xvfb xdotool python3 iproute2 util-linux
    if [ $# -eq 0 ]; then
        configure "$BUILD" -DZORVAN_TESTS=OFF -DCMAKE_BUILD_TYPE=Release
        build "$BUILD" zorvan
    fi
    exec env ZORVAN_ISOLATED=1 unshare --map-root-user --net -- \
        bash -c 'ip link set lo up && exec "$0" "$@"' "$0" "$@"
fi
SECONDS_PER_CASE=${2:-10}
REPEATS=${3:-5}
DISPLAY_NUMBER=:97
WORK=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$WORK"' EXIT

Xvfb "$DISPLAY_NUMBER" -screen 0 1600x1000x24 -nolisten tcp &
export DISPLAY=$DISPLAY_NUMBER
sleep 1
measure() {
    local frames=$1 case=$2
    "$BUILD/bin/zorvan" 2>/dev/null &
    viewer=$!
    window=$(xdotool search --sync --name '^Zorvan$' | head -1)
    sleep 1
    python3 "$ROOT/bench/blackbox.py" --pid "$viewer" --case "$case" --frames "$frames" \
        --seconds "$SECONDS_PER_CASE" --port-file "$WORK/port" >>"$WORK/$frames-$case" &
    feeder=$!
    while [ ! -s "$WORK/port" ]; do sleep 0.1; done
    # The form's fields lie below the menu bar; find it from the window's geometry.
    eval "$(xdotool getwindowgeometry --shell "$window")"
    menu=$((HEIGHT - 900))
    xdotool mousemove $((X + 1165)) $((Y + menu + 165)) click --repeat 3 1 type 127.0.0.1
    xdotool mousemove $((X + 1165)) $((Y + menu + 225)) click --repeat 3 1 type "$(cat "$WORK/port")"
    xdotool mousemove $((X + 1396)) $((Y + menu + 195)) click 1
    wait "$feeder"
    kill "$viewer"
    wait "$viewer" 2>/dev/null || true
    rm -f "$WORK/port"
}

KINDS=("${@:4}")
[ ${#KINDS[@]} -gt 0 ] || KINDS=(smooth jumping)
for frames in "${KINDS[@]}"; do
    for case in smallest grown extreme; do
        for ((i = 0; i < REPEATS; ++i)); do
            measure "$frames" "$case"
        done
        sort -n "$WORK/$frames-$case" | awk -v c="$frames $case" '{ ms[NR] = $1; share[NR] = $2 }
            END { m = int((NR + 1) / 2)
                  printf "%-16s  CPU per report: median %.2f ms (min %.2f, max %.2f), share of a core %.0f %%, %d runs\n",
                         c, ms[m], ms[1], ms[NR], share[m], NR }'
    done
done

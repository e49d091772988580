#!/usr/bin/env bash
# Runs the program against the virtual sensor.
#
# Installs what is missing, builds, starts brisca-sim (scene pattern) on a pseudo-terminal
# and the program beside it, and prints what to type on the connection page. Without a
# display the program cannot be shown: the tour then drives it under Xvfb and writes a
# picture of every page instead (into $BRISCA_TOUR_DIR, default build/tour).
# BRISCA_BUILD_DIR chooses another build folder (default build).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BRISCA_BUILD_DIR:-$top/build}
bash "$top/tools/install-deps.sh"
# Only what the demo runs: the test suites are left to run-tests.sh.
cmake -S "$top" -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j "$(nproc)" --target Velmora_Brisca brisca-sim brisca-tour

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    out=${BRISCA_TOUR_DIR:-$build/tour}
    echo "run-demo: no display; touring the program under Xvfb, pictures go to $out"
    # The device logs every register it receives; the tour only needs to list its pictures.
    QT_LOGGING_RULES=${QT_LOGGING_RULES:-default.debug=false} \
        xvfb-run -a -s "-screen 0 1280x1024x24" "$build/tools/tour/brisca-tour" "$out"
    exit $?
fi

# A short path: the operator types it into the port field.
work=$(mktemp -d "${TMPDIR:-/tmp}/brisca.XXXX")
sim_pid=
app_pid=
cleanup() {
    [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

link=$work/tty
# --pace makes the sensor answer at the speed of a real 19200 baud line.
"$build/sim/brisca-sim" --link "$link" --pattern scene --baud 19200 --parity even --pace \
    >"$work/sim.out" &
sim_pid=$!
for _ in $(seq 100); do
    grep -q '^ready' "$work/sim.out" 2>/dev/null && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
done
if ! grep -q '^ready' "$work/sim.out" 2>/dev/null; then
    echo "run-demo: the virtual sensor did not start" >&2
    exit 1
fi

cat <<TEXT
The virtual sensor is listening. On the connection page type:
    Port:      $link
    Baudrate:  19200
    Parity:    Even
then press Connect, keep slave 1 and press Select slave.
Close the window to stop.
TEXT

"$build/app/Velmora_Brisca" &
app_pid=$!
wait "$app_pid" || true
app_pid=

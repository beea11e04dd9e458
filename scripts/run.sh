#!/bin/sh
# Installs what is missing, builds, and runs the program's main job: the desk
# program tovan_desk, started in its run directory (build/tovan/run).
# On the user's display when there is one; without DISPLAY it runs under a
# private Xvfb until its window is shown, saves a screenshot of it, names the
# file, and ends both again. Arguments are passed on to tovan_desk.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
build="$root/build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DTOVAN_BENCH=OFF >/dev/null
cmake --build "$build" --target tovan_desk
run="$build/tovan/run"
cd "$run"

if [ -n "${DISPLAY:-}" ]; then
    exec ./tovan_desk "$@"
fi

shot="$build/tovan_desk-screenshot.png"
fifo=$(mktemp -u)
mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
xvfb=$!
desk=""
cleanup() {
    set +e
    if [ -n "$desk" ]; then kill "$desk" 2>/dev/null; wait "$desk" 2>/dev/null; fi
    kill "$xvfb" 2>/dev/null
    wait "$xvfb" 2>/dev/null
    rm -f "$fifo"
}
trap cleanup EXIT INT TERM
# Xvfb names the display it chose once it accepts clients.
display=$(timeout 30 head -n1 "$fifo" || true)
if [ -z "$display" ]; then
    echo "run.sh: Xvfb did not start" >&2
    exit 1
fi
export DISPLAY=":$display"
./tovan_desk "$@" &
desk=$!
if ! timeout 60 xdotool search --sync --onlyvisible --name '^Tovan (Desk|Client)' >/dev/null 2>&1; then
    echo "run.sh: tovan_desk showed no window (its log: $run/VYNDesk.out)" >&2
    exit 1
fi
import -window root "$shot"
echo "tovan_desk is up (no DISPLAY, so it ran under Xvfb $DISPLAY); screenshot: $shot"

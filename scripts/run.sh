#!/bin/sh
# Installs what is missing, builds, and runs the program's main job.
# Until the desk program exists, the main job is rulo-demo: it starts the
# framework and exercises its runtime (API table, log, scheduler, pool, futures).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
build="$root/build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DTOVAN_BENCH=OFF >/dev/null
cmake --build "$build" --target rulo-demo
exec "$build/tools/rulo-demo/rulo-demo" "$@"

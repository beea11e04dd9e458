#!/bin/sh
# Installs what is missing, builds and runs every test: the whole suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, the concurrency suites again
# under ThreadSanitizer, one short pass of every benchmark (to prove they run;
# their figures come from a Release build run by hand, see README.md), and a
# short run of every fuzz target (scripts/fuzz.sh).
set -eu
# The caller's environment may be empty (env -i): the tools need a search
# path and a home directory.
: "${PATH:=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin}"
: "${HOME:=$(getent passwd "$(id -u)" | cut -d: -f6)}"
export PATH HOME
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
jobs=$(nproc 2>/dev/null || echo 4)

configure() { # <dir> <extra cmake arguments...>
    dir=$1
    shift
    cmake -S "$root" -B "$dir" -G Ninja -DTOVAN_WERROR=ON "$@" >/dev/null
}

echo "== Layering: includes point downward only"
"$root/scripts/check_layers.sh"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer: every test"
configure "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug -DTOVAN_SANITIZE=address,undefined -DTOVAN_BENCH=OFF
cmake --build "$root/build-asan" -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$root/build-asan" -j "$jobs" --output-on-failure

echo "== ThreadSanitizer: concurrency suites"
configure "$root/build-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVAN_SANITIZE=thread -DTOVAN_BENCH=OFF
cmake --build "$root/build-tsan" -j "$jobs"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir "$root/build-tsan" -j "$jobs" -L concurrency --output-on-failure

echo "== Benchmarks: one short pass each"
configure "$root/build-release" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
cmake --build "$root/build-release" -j "$jobs"
for b in "$root"/build-release/bench/*_bench; do
    [ -x "$b" ] || continue
    BENCH_SHORT=1 "$b" --benchmark_min_time=0.01 >/dev/null 2>&1 || { echo "benchmark failed: $b"; exit 1; }
done

echo "== Fuzz targets: a short run each (clang, libFuzzer)"
"$root/scripts/fuzz.sh"
echo "all tests passed"

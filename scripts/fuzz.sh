#!/bin/sh
# Builds the libFuzzer targets (tests/fuzz) in a clang tree with AddressSanitizer
# and UndefinedBehaviorSanitizer, and runs each for a short time on a copy of
# its seed corpus, all at once. Fails when any target finds a crash, a leak or
# a broken invariant; the input that did it is kept under <build>/artifacts/.
#
#   scripts/fuzz.sh [target...]      default: every target
#   FUZZ_TIME=<seconds>              time per target (default 15)
#   FUZZ_BUILD=<dir>                 build tree (default build-fuzz)
#   FUZZ_SEED=<n>                    libFuzzer seed (default 1, so that CI walks the same
#                                    inputs every run; 0 = a new one each run, for hunting)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD:-"$root/build-fuzz"}
seconds=${FUZZ_TIME:-15}
seed=${FUZZ_SEED:-1}
# Every target is one tests/fuzz/<name>_fuzz.cpp.
all=$(cd "$root/tests/fuzz" && ls ./*_fuzz.cpp | sed 's|^\./||; s|\.cpp$||' | tr '\n' ' ')
targets=${*:-$all}
jobs=$(nproc 2>/dev/null || echo 4)

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVAN_SANITIZE=address,undefined -DTOVAN_FUZZ=ON \
    -DBUILD_TESTING=OFF -DTOVAN_BENCH=OFF >/dev/null
# shellcheck disable=SC2086
cmake --build "$build" -j "$jobs" --target $targets

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/artifacts"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

pids=""
for t in $targets; do
    # A copy: the fuzzer adds what it finds to its corpus, and the seeds stay as checked in.
    mkdir -p "$work/$t"
    if [ -d "$root/tests/fuzz/corpus/$t" ]; then cp "$root/tests/fuzz/corpus/$t"/* "$work/$t"/; fi
    "$build/tests/fuzz/$t" -max_total_time="$seconds" -seed="$seed" -rss_limit_mb=2048 -timeout=30 -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$t-" "$work/$t" >"$work/$t.log" 2>&1 &
    pids="$pids $!:$t"
done

failed=""
for entry in $pids; do
    pid=${entry%%:*}
    t=${entry#*:}
    if wait "$pid"; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$t.log")
        echo "$t: ${runs:-?} runs, no crash"
    else
        echo "== $t FAILED; its log:"
        tail -n 60 "$work/$t.log"
        failed="$failed $t"
    fi
done
if [ -n "$failed" ]; then
    echo "fuzz targets failed:$failed (inputs under $build/artifacts/)"
    exit 1
fi
echo "all fuzz targets ran clean"

#!/bin/sh
# The launcher against `xz -d --format=lzma` of the same stream to a file and
# against makeself --xz, at several payload sizes: start to payload (the
# monotonic time from the spawn to the payload's first instruction, written by
# bench/launch_stamp), the whole process, and peak memory (the largest
# resident size of any process of the run). The commands run in turn, RUNS
# rounds, so drift hits all alike; the medians and their ratios are printed.
# Then hyperfine times the whole processes once more (when it is installed).
#
#   bench/launcher_compare.sh <Release build dir>
#   SIZES="40 160"   payload sizes in MiB
#   RUNS=7           rounds
#   BASELINE=<file>  another desk_launcher_testroot image to run on the same appendix
#   LEVEL=6          LZMA preset of the packer and of makeself
set -eu
build=$(cd "${1:?usage: $0 <Release build dir>}" && pwd)
sizes=${SIZES:-"40 160"}
runs=${RUNS:-7}
level=${LEVEL:-6}
tool=$build/bench/launch_time
image=$build/launcher/desk_launcher_testroot
for f in "$tool" "$image" "$build/tools/packer/desk_pack" "$build/bench/launch_stamp"; do
    [ -x "$f" ] || { echo "missing $f (build the Release tree first)" >&2; exit 1; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/launcher_compare_XXXXXX")
trap 'rm -rf "$work"' EXIT

median() { sort -n | awk '{ v[NR] = $1 } END { if (NR == 0) print "-"; else if (NR % 2) print v[(NR + 1) / 2]; else printf "%.4f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b + 0 > 0 && a != "-") printf "%.2f", a / b; else printf "-" }'; }

for mib in $sizes; do
    dir=$work/$mib
    mkdir -p "$dir/payload" "$dir/cache" "$dir/tmp"
    "$tool" payload "$mib" >"$dir/payload/data.bin"
    cp "$build/bench/launch_stamp" "$dir/payload/launch_stamp"
    printf 'lzma bench launch_stamp %s data.bin %s\nrun launch_stamp\nend\n' \
        "$dir/payload/launch_stamp" "$dir/payload/data.bin" >"$dir/manifest"
    "$build/tools/packer/desk_pack" --launcher "$image" --manifest "$dir/manifest" --output "$dir/ours" \
        --level "$level"
    # The stream xz decodes: the body of the first record (type 7) behind the marker.
    at=$(grep -boa 'END_OF_BINARY' "$dir/ours" | head -n 1 | cut -d: -f1)
    length=$(od -An -tu4 -j $((at + 15)) -N4 "$dir/ours" | tr -d ' ')
    dd if="$dir/ours" of="$dir/stream.lzma" bs=1M iflag=skip_bytes,count_bytes skip=$((at + 19)) \
        count="$length" status=none
    if [ -n "${BASELINE:-}" ]; then
        { cat "$BASELINE"; tail -c +$((at + 1)) "$dir/ours"; } >"$dir/baseline"
        chmod 755 "$dir/baseline"
    fi
    makeself --quiet --xz --complevel "$level" --nox11 --noprogress "$dir/payload" "$dir/makeself.run" \
        bench ./launch_stamp >/dev/null
    stream_mib=$(awk -v n="$length" 'BEGIN { printf "%.1f", n / 1048576 }')
    echo "== payload $mib MiB (LZMA stream $stream_mib MiB, preset $level), $runs rounds, medians"

    set -- ours xz makeself
    [ -n "${BASELINE:-}" ] && set -- "$@" baseline
    for round in $(seq "$runs"); do
        for c in "$@"; do
            case $c in
            ours | baseline)
                rm -rf "$dir/cache"/* 2>/dev/null || true
                line=$(env DESK_LAUNCHER_ROOT="$dir/cache" LAUNCH_STAMP="$dir/stamp" \
                    "$tool" run "$dir/stamp" "$dir/$c") ;;
            xz)
                line=$("$tool" run "$dir/stamp" sh -c "xz -d --format=lzma -c '$dir/stream.lzma' > '$dir/xz.out'") ;;
            makeself)
                line=$(env TMPDIR="$dir/tmp" LAUNCH_STAMP="$dir/stamp" "$tool" run "$dir/stamp" "$dir/makeself.run") ;;
            esac
            echo "$line" >>"$dir/$c.times"
        done
    done
    xz_total=$(awk '{ print $2 }' "$dir/xz.times" | median)
    ms_stamp=$(awk '{ print $1 }' "$dir/makeself.times" | median)
    printf '%-10s %10s %10s %10s %9s %12s\n' "" "to payload" "whole" "peak KiB" "/ xz -d" "/ makeself"
    for c in "$@"; do
        stamp=$(awk '{ print $1 }' "$dir/$c.times" | grep -v '^-$' | median)
        total=$(awk '{ print $2 }' "$dir/$c.times" | median)
        peak=$(awk '{ print $3 }' "$dir/$c.times" | median)
        [ "$c" = xz ] && stamp=-
        shown=$stamp
        [ "$c" = xz ] && shown=$total
        printf '%-10s %10s %10s %10s %9s %12s\n' "$c" "$stamp" "$total" "$peak" \
            "$(ratio "$shown" "$xz_total")" "$(ratio "$stamp" "$ms_stamp")"
    done

    if command -v hyperfine >/dev/null 2>&1; then
        set -- -n ours "env DESK_LAUNCHER_ROOT='$dir/cache' LAUNCH_STAMP='$dir/stamp' '$dir/ours'"
        set -- "$@" -n "xz -d" "xz -d --format=lzma -c '$dir/stream.lzma' > '$dir/xz.out'"
        set -- "$@" -n makeself "env TMPDIR='$dir/tmp' LAUNCH_STAMP='$dir/stamp' '$dir/makeself.run' >/dev/null"
        [ -n "${BASELINE:-}" ] &&
            set -- "$@" -n baseline "env DESK_LAUNCHER_ROOT='$dir/cache' LAUNCH_STAMP='$dir/stamp' '$dir/baseline'"
        # -i: the launcher always ends by its own SIGKILL.
        hyperfine -i -w 1 -r "$runs" --style basic --prepare "rm -rf '$dir/cache' && mkdir '$dir/cache'" "$@" 2>&1 |
            grep -v '^ *Warning' || true
    fi
    rm -rf "$dir"
done

#!/bin/sh
# Checks that includes point downward only: the framework core knows nothing
# of the transport, the transport nothing of the application, the start-up
# header is included by no core file but its own, and the launcher (which
# links no framework) uses only self-contained headers of the core.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
failed=0

# forbid <folder> <pattern> <why>: no file under folder includes a path matching pattern.
forbid() {
    hits=$(grep -rnE "^[[:space:]]*#[[:space:]]*include[[:space:]]*\"($2)" "$1" --include='*.h' --include='*.cpp' \
        --include='*.c' 2>/dev/null || true)
    if [ -n "$hits" ]; then
        echo "$3:"
        echo "$hits"
        failed=1
    fi
}

upper="rulo-rpt/|tovan/|QtUtils/|launcher/|tools/|tests/|bench/"
forbid rulo "$upper" "the core includes a higher layer"
forbid rulo-rpt "tovan/|QtUtils/|launcher/|tools/|tests/|bench/" "the transport includes a higher layer"
[ -d tovan ] && forbid tovan "launcher/|tools/|tests/|bench/" "the application includes a tool or test"
# The main window sits on top of the application: the dialogs and the logic
# below them never reach up into it.
for d in config lang util plugins session look dialogs; do
    [ -d "tovan/$d" ] && forbid "tovan/$d" "tovan/window/" "tovan/$d includes the main window"
done

inits=$(grep -rlE '#[[:space:]]*include[[:space:]]*"rulo/init.h"' rulo --include='*.h' --include='*.cpp' |
    grep -v '^rulo/init\.\(h\|cpp\)$' || true)
if [ -n "$inits" ]; then
    echo "core files include the start-up header:"
    echo "$inits"
    failed=1
fi

# The launcher's headers from the core must be self-contained: no further framework header.
for h in $(grep -rhoE '#[[:space:]]*include[[:space:]]*"rulo/[^"]+"' launcher | sed 's/.*"\(.*\)"/\1/' | sort -u); do
    if grep -qE '#[[:space:]]*include[[:space:]]*"' "$h"; then
        echo "the launcher includes $h, which pulls in more of the framework:"
        grep -nE '#[[:space:]]*include[[:space:]]*"' "$h"
        failed=1
    fi
done

[ "$failed" -eq 0 ] || { echo "layering check failed"; exit 1; }
echo "layering check passed"

#!/bin/sh
# Installs what is missing, builds, and runs the program's main job: the desk
# as a user gets it, the single file build/tovan_desk.run (desk_launcher with
# the run directory appended; it unpacks into a cache slot under /tmp and
# starts tovan_desk there), beside a local relay (tovan_relay on 127.0.0.1),
# from which it gets a session code at once; the script prints how a client
# joins with it, through build/tovan_client.run.
# On the user's display when there is one; without DISPLAY it runs under a
# private Xvfb until its window shows the code, saves a screenshot of it,
# names the file, and ends everything again. Arguments are passed on to
# the desk.
set -eu
# The caller's environment may be empty (env -i): the tools need a search
# path and a home directory.
: "${PATH:=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin}"
: "${HOME:=$(getent passwd "$(id -u)" | cut -d: -f6)}"
export PATH HOME
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
build="$root/build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DTOVAN_BENCH=OFF >/dev/null
cmake --build "$build" --target tovan_desk_run tovan_client_run tovan_relay
desk_file="$build/tovan_desk.run"
client_file="$build/tovan_client.run"
# The desk works in its cache slot; what this script keeps goes here.
work="$build/run.sh"
mkdir -p "$work"
cd "$work"

# The relay, on a port it picks; its events go to relay.log. The programs
# trust a relay's certificate on first use, per grid name: this relay keeps
# one certificate in the build tree, under a grid name of its own.
relay_dir="$build/tovan/relay"
mkdir -p "$relay_dir"
if [ ! -s "$relay_dir/cert.pem" ] || [ ! -s "$relay_dir/key.pem" ]; then
    openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj /CN=tovan-relay \
        -keyout "$relay_dir/key.pem" -out "$relay_dir/cert.pem" 2>/dev/null
fi
grid="tovan-run-$(openssl x509 -in "$relay_dir/cert.pem" -noout -fingerprint -sha256 | tr -d ':' | sed 's/.*=//' | cut -c1-16)"
relay_out=$(mktemp)
"$build/tools/relay/tovan_relay" --cert "$relay_dir/cert.pem" --key "$relay_dir/key.pem" --grid-name "$grid" \
    --log "$work/relay.log" </dev/null >"$relay_out" 2>&1 &
relay=$!
xvfb=""
desk=""
fifo=""
cleanup() {
    set +e
    # The program ends first, so the launcher then deletes what it unpacked.
    if [ -n "$desk" ]; then
        program=$(pgrep -P "$desk" 2>/dev/null || true)
        kill ${program:-"$desk"} 2>/dev/null
        wait "$desk" 2>/dev/null
    fi
    if [ -n "$xvfb" ]; then kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; fi
    kill "$relay" 2>/dev/null
    wait "$relay" 2>/dev/null
    rm -f "$relay_out" ${fifo:+"$fifo"}
}
trap cleanup EXIT INT TERM
tries=0
until grep -q '^listening ' "$relay_out"; do
    tries=$((tries + 1))
    if [ "$tries" -gt 300 ] || ! kill -0 "$relay" 2>/dev/null; then
        echo "run.sh: tovan_relay did not start: $(cat "$relay_out")" >&2
        exit 1
    fi
    sleep 0.1
done
relay_address=$(sed -n 's/^listening //p' "$relay_out" | head -n1)
rm -f "$work/code.txt"
set -- --vynwex --proxy-address "$relay_address" --force-transport direct --username desk --password desk \
    --get-code --output-file "$work/code.txt" "$@"

# The code, once the desk has it (within 30 s), and how a client joins.
wait_code() {
    tries=0
    until [ -s "$work/code.txt" ]; do
        tries=$((tries + 1))
        if [ "$tries" -gt 300 ]; then
            echo "run.sh: the desk got no code (its log: VYNDesk.out in the slot named in $work/desk.err)" >&2
            return 1
        fi
        sleep 0.1
    done
    code=$(cut -d' ' -f1 "$work/code.txt")
    echo "session code $code; a client joins with:"
    echo "  $client_file --vynwex --proxy-address $relay_address --force-transport direct --connect $code"
}

if [ -n "${DISPLAY:-}" ]; then
    "$desk_file" "$@" &
    desk=$!
    wait_code || true
    wait "$desk"
    desk=""
    exit 0
fi

shot="$build/tovan_desk-screenshot.png"
fifo=$(mktemp -u)
mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
xvfb=$!
# Xvfb names the display it chose once it accepts clients.
display=$(timeout 30 head -n1 "$fifo" || true)
if [ -z "$display" ]; then
    echo "run.sh: Xvfb did not start" >&2
    exit 1
fi
export DISPLAY=":$display"
"$desk_file" "$@" 2>"$work/desk.err" &
desk=$!
if ! timeout 60 xdotool search --sync --onlyvisible --name '^Tovan (Desk|Client)' >/dev/null 2>&1; then
    echo "run.sh: the desk showed no window (its output: $work/desk.err)" >&2
    exit 1
fi
wait_code
# The code field shows it on the next turn of the desk's event loop.
sleep 1
import -window root "$shot"
echo "tovan_desk is up (no DISPLAY, so it ran under Xvfb $DISPLAY); screenshot: $shot"

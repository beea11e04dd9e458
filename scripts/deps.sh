#!/bin/sh
# Installs the Debian packages the project builds and tests with. Idempotent:
# prints nothing and touches nothing when everything is there.
set -eu

packages="g++ make cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev coreutils
    libssl-dev openssl liblzma-dev xz-utils qtbase5-dev util-linux
    clang libclang-rt-14-dev makeself squid hyperfine iperf3 stunnel4 socat libasio-dev gnutls-bin
    xvfb xdotool xclip x11-utils imagemagick strace fonts-dejavu-core libxcb1-dev libxml2-utils libxml2-dev openbox nftables"

missing=""
for p in $packages; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    case "$status" in
        *"install ok installed"*) ;;
        *) missing="$missing $p" ;;
    esac
done
[ -z "$missing" ] && exit 0

echo "installing:$missing"
if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
# shellcheck disable=SC2086
$sudo apt-get install -y -qq --no-install-recommends $missing >/dev/null

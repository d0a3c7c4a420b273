#!/bin/sh
# Installs the Debian/Ubuntu packages that building and testing Ferrolink need, if missing.
#   tools/setup.sh            what the application and its tests need
#   tools/setup.sh --fuzz     also clang and its sanitizer runtime, for tools/fuzz.sh
set -e
packages="cmake ninja-build g++ pkg-config qtbase5-dev libcpp-httplib-dev libssl-dev zlib1g-dev libbrotli-dev
python3 python3-zeroconf python3-jsonschema iproute2 util-linux procps"
if [ "${1:-}" = "--fuzz" ]; then
    packages="$packages clang libclang-rt-14-dev"
fi
missing=""
for p in $packages; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0
echo "Installing:$missing"
sudo=""
[ "$(id -u)" = 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing

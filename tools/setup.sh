#!/bin/sh
# Installs the Debian/Ubuntu packages that building and testing Ferrolink need, if missing.
#   tools/setup.sh            what the application and its tests need
#   tools/setup.sh --fuzz     also clang and its sanitizer runtime, for tools/fuzz.sh
#   tools/setup.sh --package  also help2man and lintian, for tools/package.sh
set -e
packages="cmake ninja-build g++ pkg-config dpkg-dev qtbase5-dev libqt5websockets5-dev libqt5networkauth5-dev libcpp-httplib-dev libssl-dev openssl zlib1g-dev libbrotli-dev
python3 python3-zeroconf python3-jsonschema iproute2 util-linux procps avahi-daemon avahi-utils dbus dnsmasq-base"
# AMWA's controller test suites (tests/tst_amwacontroller), which run from an offline copy.
packages="$packages python3-flask python3-wtforms python3-requests python3-netifaces python3-git python3-websocket
python3-dnslib python3-jinja2 python3-junit.xml python3-paho-mqtt python3-authlib python3-websockets python3-flask-cors
python3-flask-socketio python3-pycryptodome python3-attr python3-click python3-markdown2 python3-six python3-termcolor
python3-xmltodict python3-yaml python3-cryptography python3-rfc3987 git"
if [ "${1:-}" = "--fuzz" ]; then
    packages="$packages clang libclang-rt-14-dev"
fi
if [ "${1:-}" = "--package" ]; then
    packages="$packages help2man lintian"
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
# avahi-daemon is only for the tests, which start their own inside a private namespace:
# its package must not start one on this machine's network (policy-rc.d 101 forbids it).
policy=""
if [ ! -e /usr/sbin/policy-rc.d ] && echo "$missing" | grep -q avahi-daemon; then
    policy=/usr/sbin/policy-rc.d
    printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
    $sudo chmod 755 "$policy"
fi
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing || status=$?
[ -z "$policy" ] || $sudo rm -f "$policy"
exit ${status:-0}

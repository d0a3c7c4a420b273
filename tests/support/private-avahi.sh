#!/bin/sh
# private-avahi.sh DIR [INTERFACES]
# Starts a dbus-daemon and an avahi-daemon of a test's own, leaving the machine's daemons
# alone: they run in a mount namespace with a private /run, and the bus socket is
# DIR/bus. Avahi uses only INTERFACES (comma-separated, default fl1) and is named
# "avahi-peer". Once Avahi has finished starting, prints the line
#   DBUS_SYSTEM_BUS_ADDRESS=unix:path=DIR/bus
# which the Avahi tools (avahi-browse, avahi-publish-service...) need in their environment;
# then runs until its standard input closes or it is sent SIGTERM, and stops both daemons.
# Where Avahi cannot be started it prints "skip: <why>" and exits 77. Avahi announces on
# the link: use it only inside tools/netns-run. Logs: DIR/dbus.log, DIR/avahi.log.
set -u
PATH="$PATH:/usr/sbin:/sbin"
skip() {
    echo "skip: $*"
    exit 77
}
dir=$1
interfaces=${2:-fl1}
[ "${FERROLINK_NETNS:-}" = 1 ] || skip "Avahi announces on the link: runs only inside tools/netns-run"
for tool in dbus-daemon avahi-daemon avahi-browse unshare; do
    command -v $tool >/dev/null 2>&1 || skip "$tool is not installed (tools/setup.sh installs it)"
done
if [ "${PRIVATE_AVAHI_INSIDE:-}" != 1 ]; then
    unshare --mount true 2>/dev/null || skip "cannot make a mount namespace"
    PRIVATE_AVAHI_INSIDE=1 exec unshare --mount --propagation private -- "$0" "$@"
fi
mount -t tmpfs tmpfs /run 2>/dev/null || skip "cannot mount a private /run"
mkdir -p /run/dbus /run/avahi-daemon "$dir"
bus="$dir/bus"
rm -f "$bus"

cat >"$dir/dbus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
EOF
cat >"$dir/avahi.conf" <<EOF
[server]
host-name=avahi-peer
use-ipv4=yes
use-ipv6=yes
allow-interfaces=$interfaces
enable-dbus=yes
ratelimit-interval-usec=1000000
ratelimit-burst=1000
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
EOF

DBUS_SYSTEM_BUS_ADDRESS="unix:path=$bus"
export DBUS_SYSTEM_BUS_ADDRESS
dbus-daemon --config-file="$dir/dbus.conf" --nofork --nopidfile >"$dir/dbus.log" 2>&1 &
dbus=$!
avahi=""
reader=""
stop() {
    [ -n "$reader" ] && kill "$reader" 2>/dev/null
    [ -n "$avahi" ] && kill "$avahi" 2>/dev/null
    kill "$dbus" 2>/dev/null
    wait 2>/dev/null
}
trap 'stop; exit 0' TERM INT
# Runs "$@" every 50 ms until it succeeds, for up to 10 s.
await() {
    n=0
    until "$@"; do
        n=$((n + 1))
        [ $n -le 200 ] || return 1
        sleep 0.05
    done
}
await test -S "$bus" || { stop; skip "dbus-daemon did not start: $(tail -n 3 "$dir/dbus.log")"; }
avahi-daemon -f "$dir/avahi.conf" --no-drop-root --no-chroot --no-rlimits --no-proc-title \
    >"$dir/avahi.log" 2>&1 &
avahi=$!
await grep -q "Server startup complete" "$dir/avahi.log" || { stop; skip "avahi-daemon did not start: $(tail -n 3 "$dir/avahi.log")"; }
echo "DBUS_SYSTEM_BUS_ADDRESS=$DBUS_SYSTEM_BUS_ADDRESS"
# Standard input closing is the usual end; cat runs in the background so that SIGTERM is
# handled at once (and is given the input explicitly: a background job's is /dev/null).
exec 3<&0
cat <&3 >/dev/null &
reader=$!
wait "$reader"
stop

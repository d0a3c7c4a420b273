#!/bin/sh
# Shows the whole job on one machine: a simulated camera and a simulated monitor announce
# themselves by mDNS inside a private network namespace, and Ferrolink, started beside
# them, finds both. Choose the camera's sender and the monitor's receiver, then press
# "Connect (Tx->Rx)"; the simulators log every request they serve, and the monitor's
# state (what each receiver is patched to) is kept in build/demo/monitor.json.
# A third node, "formats", plays senders of other formats (JPEG XS, 59.94, interlaced)
# and receivers that take only some of them (tools/nmos-simnode/formats-demo.json), so
# that a pair that does not fit can be tried: its receivers refuse a file they cannot take.
#
#   tools/demo.sh                 builds what is missing, then runs the demo until Ferrolink closes
#   tools/demo.sh --screenshot    without a display: runs on a virtual screen (xvfb), patches
#                                 the monitor to the camera, chooses both and saves
#                                 build/demo/ferrolink.png
#
# Nothing leaves this machine: the nodes bind to and announce on the namespace's own
# veth pair (fl1 -> fl0), and Ferrolink runs in the same namespace.
set -e
cd "$(dirname "$0")/.."
root=$(pwd)
build="${FERROLINK_BUILD_DIR:-$root/build}"

if [ "${1:-}" != "--in-namespace" ]; then
    tools/setup.sh
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" --target ferrolink ferrolink-cli nmos-simnode
    exec tools/netns-run "$0" --in-namespace "$@"
fi
shift

screenshot=0
if [ "${1:-}" = "--screenshot" ] || { [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; }; then
    screenshot=1
fi

mkdir -p "$build/demo"
simnode="$build/tools/nmos-simnode"
pids=""
stop() {
    for pid in $pids; do
        kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
}
trap stop EXIT INT TERM

# The nodes serve HTTP on the namespace's address 10.77.0.2 and announce on fl1; Ferrolink
# browses on every interface and hears them on fl0.
"$simnode" --label camera --port 8010 --bind 10.77.0.2 --mdns-interface fl1 \
    --group-name "Cam %n" --video-senders 1 --audio-senders 2 --data-senders 1 \
    --state "$build/demo/camera.json" >/dev/null &
pids="$pids $!"
"$simnode" --label monitor --port 8011 --bind 10.77.0.2 --mdns-interface fl1 \
    --group-name "Mon %n" --video-receivers 1 --audio-receivers 2 --data-receivers 1 \
    --state "$build/demo/monitor.json" >/dev/null &
pids="$pids $!"
"$simnode" --config tools/nmos-simnode/formats-demo.json --port 8012 --bind 10.77.0.2 --mdns-interface fl1 \
    --state "$build/demo/formats.json" >/dev/null &
pids="$pids $!"

echo "camera:  http://10.77.0.2:8010/x-nmos/node/v1.3/  (one video, two audio, one data sender, group Cam 1)"
echo "monitor: http://10.77.0.2:8011/x-nmos/node/v1.3/  (the matching receivers, group Mon 1; its video takes any uncompressed video)"
echo "formats: http://10.77.0.2:8012/x-nmos/node/v1.3/  (senders XS 1 (JPEG XS), Cam 59, Cam 50, Cam 25i;"
echo "         receivers Monitor raw, Monitor 50 (1080p50 only), XS decoder)"
echo "what the monitor is patched to: $build/demo/monitor.json"

if [ "$screenshot" = 0 ]; then
    "$build/app/ferrolink"
    exit 0
fi

if ! command -v xvfb-run >/dev/null 2>&1 || ! command -v import >/dev/null 2>&1 || ! command -v xdotool >/dev/null 2>&1; then
    echo "No display here, and xvfb-run, ImageMagick's import or xdotool is missing for a virtual one:"
    echo "install xvfb, imagemagick and xdotool, or run the demo from a desktop session."
    exit 1
fi
# Ferrolink needs a few seconds to hear the announcements and read the nodes. Then the
# monitor is patched to the camera from the command line, as another controller would do,
# and both entries are chosen from their lists by typing the start of their names (the
# combos' arrows sit at x=762 in the window's default size, the receiver's below the line
# that says what the chosen sender sends): the receiver row shows what
# the monitor receives.
xvfb-run -a -s "-screen 0 1280x800x24" sh -c '
    "$1" & app=$!
    sleep 10
    "$3" connect "Cam 1 Video" "Mon 1 Video" >/dev/null || echo "the demo patch failed"
    window=$(xdotool search --name "^Ferrolink\$" | head -1)
    for pick in "28 camera (10.77.0.2:8010-Cam 1 Video" "94 monitor (10.77.0.2:8011-Mon 1 Video"; do
        xdotool mousemove --window "$window" 762 "${pick%% *}" click 1
        sleep 1
        xdotool type "${pick#* }"
        xdotool key Return
        sleep 1
    done
    sleep 1
    import -window "$window" png:- | convert - -dither None -colors 16 "PNG8:$2"
    kill $app
    wait $app 2>/dev/null || true
' demo "$build/app/ferrolink" "$build/demo/ferrolink.png" "$build/cli/ferrolink-cli"
echo "screenshot: $build/demo/ferrolink.png"

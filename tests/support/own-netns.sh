#!/bin/sh
# own-netns.sh TEST [ARGS...]
# Runs a test that sends multicast in a private network namespace of its own, so that such
# tests run side by side without seeing each other's services. ctest started inside
# tools/netns-run shows that namespaces can be made here; otherwise the test runs as it is
# and skips.
if [ "${FERROLINK_NETNS:-}" = 1 ]; then
    exec "$(dirname "$0")/../../tools/netns-run" "$@"
fi
exec "$@"

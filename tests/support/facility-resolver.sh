#!/bin/sh
# facility-resolver.sh NAMESERVER DOMAIN TEST [ARGS...]
# Runs TEST in a mount namespace of its own whose /etc/resolv.conf names NAMESERVER and the
# search DOMAIN, as an operator's machine in that facility would have them. For tests inside
# the private network namespace, as root there.
# Outside the private namespace the test skips by itself: nothing to set up.
if [ "${FERROLINK_NETNS:-}" != 1 ]; then
    shift 2
    exec "$@"
fi
if [ "${1:-}" != "--inside" ]; then
    exec unshare --mount --propagation private -- "$0" --inside "$@"
fi
shift
conf=$(mktemp)
printf 'nameserver %s\nsearch %s\n' "$1" "$2" > "$conf"
mount --bind "$conf" /etc/resolv.conf
shift 2
exec "$@"

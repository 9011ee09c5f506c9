#!/bin/sh
# Runs a test with a private /run/tessovara-rfu, where real mode takes its writer lock: as root,
# in a mount namespace of its own with a tmpfs there; for anyone else as it is, and the test
# skips what needs root.
[ "$(id -u)" = 0 ] || exec "$@"
exec unshare -m sh -c 'mkdir -p /run/tessovara-rfu && mount -t tmpfs tmpfs /run/tessovara-rfu && exec "$0" "$@"' "$@"

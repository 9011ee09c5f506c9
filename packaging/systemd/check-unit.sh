#!/usr/bin/env bash
# Checks the service unit offline: systemd-analyze verify must be silent and the
# sandbox exposure score must stay at or below 2.0. Needs systemd-analyze, not a
# running systemd. The unit's profile copier is taken from beside the unit file.
#
# usage: check-unit.sh <unit-file> <built-ostrel>
set -u -o pipefail
. "$(dirname "$0")/analyze-units.sh"

fail() {
    echo "check-unit: $*" >&2
    exit 1
}

[ $# -eq 2 ] || fail "usage: check-unit.sh <unit-file> <built-ostrel>"
unit=$1
binary=$2
copier=$(dirname "$unit")/ostrel-copy-profile
max_exposure=2.0
limit_s=60

[ -r "$unit" ] || fail "cannot read unit file: $unit"
[ -x "$binary" ] || fail "not an executable: $binary"
[ -x "$copier" ] || fail "not an executable: $copier"
command -v systemd-analyze >/dev/null || fail "systemd-analyze not found (Debian package systemd)"

# The fail-safe lives in these lines; a unit without them could still verify
# and score well.
grep -qx 'Type=notify' "$unit" || fail "unit is not Type=notify"
grep -qE '^WatchdogSec=[^0]' "$unit" || fail "unit sets no watchdog"
grep -qE "^ExecStopPost=\+/usr/sbin/ostrel --safe-once( |$)" "$unit" \
    || fail "unit does not command the safe speed after every stop"
# The recovery starts its profile's program as root, so no profile may be where the
# sandbox writes, and only root's own commands (+) may copy one.
writable=$(sed -n 's|^StateDirectory=|/var/lib/|p; s|^RuntimeDirectory=|/run/|p; s|^ReadWritePaths=-\{0,1\}||p' "$unit")
for profile in $(grep '^Exec' "$unit" | grep -oE '/[^ ]+\.ini'); do
    for dir in $writable; do
        [ "${profile#"$dir"/}" = "$profile" ] || fail "the sandbox can write $profile"
    done
done
! grep -qE '^Exec[A-Za-z]+=[^+].*\.ini .*\.ini' "$unit" || fail "a profile is copied inside the sandbox"
# ProtectSystem=strict does not cover /run once the API file systems are mounted.
grep -qx 'ReadOnlyPaths=/run' "$unit" || fail "the sandbox can write /run"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-unit.XXXXXX") || fail "cannot create a temporary directory"
trap 'rm -rf "$tmp"' EXIT

# verify insists that every command exists. The installed paths are swapped for
# links to the built binary and the copier: a link's path needs no quoting in a
# unit file, whatever the build directory is called.
ln -s "$(realpath "$binary")" "$tmp/ostrel" || fail "cannot link $binary"
ln -s "$(realpath "$copier")" "$tmp/ostrel-copy-profile" || fail "cannot link $copier"
content=$(<"$unit") || fail "cannot read unit file: $unit"
content=${content//\/usr\/libexec\/ostrel\/ostrel-copy-profile/"$tmp/ostrel-copy-profile"}
printf '%s\n' "${content//\/usr\/sbin\/ostrel/"$tmp/ostrel"}" >"$tmp/ostrel.service"

analyze_units "$tmp/ostrel.service"

echo "check-unit: verify clean; exposure $score (limit $max_exposure)"

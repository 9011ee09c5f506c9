#!/usr/bin/env bash
# Checks the service unit offline: systemd-analyze verify must be silent and the
# sandbox exposure score must stay at or below 2.0. Needs systemd-analyze, not a
# running systemd. The unit's profile copier is taken from beside the unit file.
#
# usage: check-unit.sh <unit-file> <built-ostrel>
set -u -o pipefail

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

export LC_ALL=C SYSTEMD_COLORS=0 SYSTEMD_PAGER=cat SYSTEMD_LOG_LEVEL=info

# Unknown keys and unparsable values are only warnings with exit code 0, so any
# output at all is a failure. The man page is not installed on a build machine.
verify_out=$(timeout -k 5 "$limit_s" systemd-analyze verify --man=no "$tmp/ostrel.service" </dev/null 2>&1)
verify_rc=$?
[ "$verify_rc" -ne 124 ] || fail "systemd-analyze verify timed out"
if [ "$verify_rc" -ne 0 ] || [ -n "$verify_out" ]; then
    first=$(printf '%s\n' "$verify_out" | grep -m1 .)
    first=${first//"$tmp/"/}
    fail "systemd-analyze verify (exit $verify_rc): ${first:-no output}"
fi

# --threshold counts in tenths of the printed score.
threshold=$(awk -v m="$max_exposure" 'BEGIN { printf "%d", m * 10 + 0.5 }')
security_out=$(timeout -k 5 "$limit_s" systemd-analyze security --offline=yes --no-pager \
    --threshold="$threshold" "$tmp/ostrel.service" </dev/null 2>&1)
security_rc=$?
[ "$security_rc" -ne 124 ] || fail "systemd-analyze security timed out"
score=$(printf '%s\n' "$security_out" | sed -n 's/.*Overall exposure level for [^:]*: *\([0-9][0-9.]*\).*/\1/p' | tail -n1)
[ -n "$score" ] || fail "systemd-analyze security printed no exposure level (exit $security_rc)"
if [ "$security_rc" -ne 0 ] || awk -v s="$score" -v m="$max_exposure" 'BEGIN { exit !(s > m) }'; then
    worst=$(printf '%s\n' "$security_out" | awk '$1 == "-" { print $NF, $2 }' | sort -rn | head -n3 \
        | awk '{ printf "%s%s %s", (NR > 1 ? ", " : ""), $2, $1 }')
    fail "exposure $score is above $max_exposure (worst: ${worst:-?})"
fi

echo "check-unit: verify clean; exposure $score (limit $max_exposure)"

#!/usr/bin/env bash
# Checks the metrics service and its timer offline, as check-unit.sh checks the guard's
# unit: systemd-analyze verify must be silent on both, the service's sandbox exposure must
# stay at or below 2.0, and its command, run with the built ostrelctl against no guard, must
# write a scrape. The timer is taken from beside the service.
#
# usage: check-metrics-units.sh <service-file> <built-ostrelctl>
set -u -o pipefail
. "$(dirname "$0")/analyze-units.sh"

fail() {
    echo "check-metrics-units: $*" >&2
    exit 1
}

[ $# -eq 2 ] || fail "usage: check-metrics-units.sh <service-file> <built-ostrelctl>"
service=$1
timer=${service%.service}.timer
binary=$2
max_exposure=2.0
limit_s=60

[ -r "$service" ] || fail "cannot read unit file: $service"
[ -r "$timer" ] || fail "cannot read unit file: $timer"
[ -x "$binary" ] || fail "not an executable: $binary"
command -v systemd-analyze >/dev/null || fail "systemd-analyze not found (Debian package systemd)"

# verify says nothing of these: the file must be where the sandbox lets it be written, the
# run skipped where no collector reads it, and the timer enabled by the package.
dir=$(sed -n 's/^ReadWritePaths=//p' "$service")
[ "$(wc -w <<<"$dir")" -eq 1 ] || fail "the service must write one folder only"
grep -qx "ConditionPathIsDirectory=$dir" "$service" || fail "the service does not wait for $dir"
exec_start=$(sed -n 's/^ExecStart=//p' "$service")
[[ $exec_start == "/usr/bin/ostrelctl metrics "*" --output $dir/"*.prom ]] || fail "ExecStart does not write a .prom in $dir"
grep -qx 'ProtectSystem=strict' "$service" || fail "the sandbox can write the system"
grep -qx 'ReadOnlyPaths=/run' "$service" || fail "the sandbox can write /run"
grep -qx 'WantedBy=timers.target' "$timer" || fail "the timer is not enabled with timers.target"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-metrics-units.XXXXXX") || fail "cannot create a temporary directory"
trap 'rm -rf "$tmp"' EXIT

# verify insists that every command exists: the installed path becomes a link to the built one.
ln -s "$(realpath "$binary")" "$tmp/ostrelctl" || fail "cannot link $binary"
for unit in "$service" "$timer"; do
    content=$(<"$unit") || fail "cannot read unit file: $unit"
    printf '%s\n' "${content//\/usr\/bin\/ostrelctl/"$tmp/ostrelctl"}" >"$tmp/$(basename "$unit")"
done
name=$(basename "$service")

analyze_units "$tmp/$name" "$tmp/$(basename "$timer")"

# The unit's own command line, pointed at no guard and writing into this check's folder.
run=${exec_start//"$dir/"/"$tmp/"}
read -ra command <<<"${run/\/usr\/bin\/ostrelctl/"$tmp/ostrelctl"}"
"${command[@]}" --socket "$tmp/none.sock" || fail "the service's command failed"
grep -qx 'ostrel_up 0' "$tmp/${exec_start##*/}" || fail "the service's command wrote no scrape"

echo "check-metrics-units: verify clean; exposure $score (limit $max_exposure); command writes a scrape"

# The part of the unit checks that systemd-analyze does, sourced by check-unit.sh and
# check-metrics-units.sh: verify must be silent on every unit given, and the sandbox exposure
# of the first must stay at or below $max_exposure. Uses their fail, tmp and limit_s, and
# sets score.
analyze_units() { # UNIT...
    export LC_ALL=C SYSTEMD_COLORS=0 SYSTEMD_PAGER=cat SYSTEMD_LOG_LEVEL=info

    # Unknown keys and unparsable values are only warnings with exit code 0, so any
    # output at all is a failure. The man page is not installed on a build machine.
    verify_out=$(timeout -k 5 "$limit_s" systemd-analyze verify --man=no "$@" </dev/null 2>&1)
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
        --threshold="$threshold" "$1" </dev/null 2>&1)
    security_rc=$?
    [ "$security_rc" -ne 124 ] || fail "systemd-analyze security timed out"
    score=$(printf '%s\n' "$security_out" | sed -n 's/.*Overall exposure level for [^:]*: *\([0-9][0-9.]*\).*/\1/p' | tail -n1)
    [ -n "$score" ] || fail "systemd-analyze security printed no exposure level (exit $security_rc)"
    if [ "$security_rc" -ne 0 ] || awk -v s="$score" -v m="$max_exposure" 'BEGIN { exit !(s > m) }'; then
        worst=$(printf '%s\n' "$security_out" | awk '$1 == "-" { print $NF, $2 }' | sort -rn | head -n3 \
            | awk '{ printf "%s%s %s", (NR > 1 ? ", " : ""), $2, $1 }')
        fail "exposure $score is above $max_exposure (worst: ${worst:-?})"
    fi
}

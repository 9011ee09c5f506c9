#!/usr/bin/env bash
# The guard beside the framework floor (bench_floor), measured in one run, each figure as a ratio:
#   bench/run.sh BUILD_DIR           round trip, instructions per control request (valgrind),
#                                    peak memory, wake-ups with an idle client
#   bench/run.sh --smoke BUILD_DIR   a few hundred requests to each, no valgrind (the suite runs this)
# Fails when a server latches a fault or answers wrong. Knobs: REQUESTS, ROUNDS, IDLE_SECONDS,
# CG_K0, CG_K1, CG_PHASE_MS, and GUARD, another guard binary to measure against the same floor.
set -u
smoke=0
[ "${1:-}" = --smoke ] && smoke=1 && shift
if [ $# -ne 1 ] || [ ! -x "$1/bench/bench_client" ]; then
    echo "usage: bench/run.sh [--smoke] BUILD_DIR (a build with bench_client in it)" >&2
    exit 2
fi
build=$(cd "$1" && pwd) root=$(cd "$(dirname "$0")/.." && pwd)
client=$build/bench/bench_client guard=${GUARD:-$build/ostrel}
requests=${REQUESTS:-5000} rounds=${ROUNDS:-3} idle=${IDLE_SECONDS:-4}
k0=${CG_K0:-200} k1=${CG_K1:-3200} phase=${CG_PHASE_MS:-12000}
[ $smoke = 1 ] && requests=300 rounds=1 idle=1
work=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-bench.XXXXXX") || exit 2
pid="" count=0
trap '[ -z "$pid" ] || kill -KILL "$pid"; rm -rf "$work"' EXIT

# start NAME [PREFIX...]: the guard or the floor on a fresh socket, behind PREFIX (valgrind) if
# given; sets pid, sock and log.
start() {
    count=$((count + 1))
    sock=$work/$1-$count.sock log=$work/$1-$count.log
    if [ "$1" = guard ]; then
        "${@:2}" "$guard" --simulate --profile "$root/examples/rfu-device-profile.ini" --socket "$sock" >"$log" 2>&1 &
    else # on the event dispatcher the guard chooses for itself
        QT_NO_GLIB=1 "${@:2}" "$build/bench/bench_floor" "$sock" >"$log" 2>&1 &
    fi
    pid=$!
}

# Ends the server within 20 s; valgrind writes its profile on the way out.
stop() {
    kill -TERM "$pid"
    for _ in $(seq 200); do kill -0 "$pid" 2>/dev/null && sleep 0.1 || break; done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid"
    pid=""
}

failed() { echo "bench: $1 failed; its output:" >&2 && tail -n 20 "$log" >&2 && exit 1; }

# measure NAME: median round trip, wake-ups a second with an idle client, VmHWM.
measure() {
    start "$1"
    "$client" "$sock" "$requests" 0 "$idle" "$pid" >>"$work/$1" || failed "$1"
    stop
}

# Instructions per control request: runs of k0 and k1 requests, each spread over the same phase,
# so that start-up, shutdown and the guard's own timer events (its 250 ms tick and a fan reading
# a second) are alike in both and cancel in the difference.
instructions() {
    local k totals=()
    for k in "$k0" "$k1"; do
        start "$1" valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.$1.$k"
        "$client" "$sock" "$k" "$phase" 0 "$pid" >/dev/null || failed "$1 under valgrind"
        stop
        totals+=("$(awk '/^totals:/ { print $2 }' "$work/callgrind.$1.$k")")
    done
    echo $(((totals[1] - totals[0]) / (k1 - k0))) >"$work/instructions.$1"
}

for _ in $(seq "$rounds"); do
    measure guard
    measure floor
done
median() { cut -d' ' -f"$1" "$work/$2" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
row() {
    awk -v what="$1" -v g="$2" -v f="$3" \
        'BEGIN { printf "%-26s %10s %10s %7s\n", what, g, f, (f > 0 ? sprintf("%.2f", g / f) : "-") }'
}
printf '%-26s %10s %10s %7s\n' "" guard floor ratio
row "round trip, median µs" "$(median 1 guard)" "$(median 1 floor)"
if [ $smoke = 0 ] && command -v valgrind >/dev/null; then
    instructions guard && instructions floor
    row "instructions per request" "$(cat "$work/instructions.guard")" "$(cat "$work/instructions.floor")"
fi
row "VmHWM KiB" "$(median 3 guard)" "$(median 3 floor)"
row "idle wake-ups a second" "$(median 2 guard)" "$(median 2 floor)"

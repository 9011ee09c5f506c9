#!/usr/bin/env bash
# Speed, memory and idle cost of the guard, each as a ratio to a floor
# measured side by side in the same run:
#   bench/run.sh [build-dir]        (default: build; run `make test` first)
# Knobs (environment): ROUNDS, ROUND_TRIPS, IDLE_SECONDS, IDLE_ROUNDS,
# WALL_RUNS, CG_WARMUP, CG_K0, CG_K1, CG_PAIRS.
# Every wait is bounded, every started process is stopped by its pid on exit,
# and nothing is written outside one temporary directory except stdout.
set -u

ROUNDS=${ROUNDS:-5}
ROUND_TRIPS=${ROUND_TRIPS:-2000}
IDLE_SECONDS=${IDLE_SECONDS:-5}
IDLE_ROUNDS=${IDLE_ROUNDS:-2}
WALL_RUNS=${WALL_RUNS:-20}
CG_WARMUP=${CG_WARMUP:-200}
CG_K0=${CG_K0:-500}
CG_K1=${CG_K1:-2500}
CG_PAIRS=${CG_PAIRS:-2}

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
[ -d "$build" ] || build=$root/$build
build=$(cd "$build" 2>/dev/null && pwd) || {
    echo "run.sh: no build directory ${1:-build}; run \`make test\` first" >&2
    exit 2
}
guard_bin=$build/ostrel
profile=$root/examples/rfu-device-profile.ini
[ -x "$guard_bin" ] || {
    echo "run.sh: $guard_bin is missing; run \`make test\` first" >&2
    exit 2
}

work=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-bench.XXXXXX") || exit 2
# valgrind's gdbserver pipes and anything else that honours TMPDIR stay inside too.
export TMPDIR=$work
# A copy, so that a rebuild while the benchmark runs cannot mix two binaries.
guard_built=$(date -r "$guard_bin" '+%Y-%m-%d %H:%M:%S')
cp "$guard_bin" "$work/ostrel" || exit 2
guard_bin=$work/ostrel

servers=() # long-running processes, stopped by pid
client_pid=""

stop_pid() {
    local pid=$1
    kill "$pid" 2>/dev/null || return 0
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    return 0
}

cleanup() {
    [ -n "$client_pid" ] && stop_pid "$client_pid"
    for pid in "${servers[@]}"; do
        stop_pid "$pid"
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() {
    echo "run.sh: $*" >&2
    exit 2
}

# ---- pinning: servers on one CPU, clients on another, when two are allowed --
cpu_list() {
    local allowed part a b
    allowed=$(awk '/^Cpus_allowed_list/{print $2}' /proc/self/status)
    for part in ${allowed//,/ }; do
        a=${part%-*}
        b=${part#*-}
        seq "$a" "$b"
    done
}
mapfile -t cpus < <(cpu_list)
pin_server=()
pin_client=()
pin_shared=()
if [ "${#cpus[@]}" -ge 2 ] && command -v taskset >/dev/null && taskset -c "${cpus[1]}" true 2>/dev/null; then
    pin_server=(taskset -c "${cpus[1]}")
    pin_client=(taskset -c "${cpus[0]}")
    pin_shared=(taskset -c "${cpus[1]}")
    pinning="servers on CPU ${cpus[1]}, clients on CPU ${cpus[0]} (round trips also with both on CPU ${cpus[1]})"
    layouts=(split shared)
else
    pinning="none (needs taskset and two allowed CPUs)"
    layouts=(unpinned)
fi
# Where round-trip clients run, by layout: "split" puts client and server on
# two CPUs, so every round trip pays two cross-CPU wake-ups; "shared" puts
# them on one CPU, which leaves the work and two context switches.
declare -A layout_name=([split]="client and server on two CPUs" [shared]="client and server on one CPU"
    [unpinned]="unpinned")
client_pin=("${pin_client[@]}")
set_layout() {
    case "$1" in
        shared) client_pin=("${pin_shared[@]}") ;;
        *) client_pin=("${pin_client[@]}") ;;
    esac
}

# ---- helpers -------------------------------------------------------------------

# Runs a client in the background (so a trap can stop it) under a time limit,
# on the client CPU of the current layout; its stdout goes to $work/client.out.
client() {
    local limit=$1
    shift
    timeout "$limit" "${client_pin[@]}" "$work/client" "$@" >"$work/client.out" 2>"$work/client.err" &
    client_pid=$!
    wait "$client_pid"
    local rc=$?
    client_pid=""
    if [ "$rc" -ne 0 ]; then
        cat "$work/client.err" >&2
        return "$rc"
    fi
}

# One field of the RESULT line of a given kind in $work/client.out.
field() {
    awk -v kind="kind=$1" -v key="$2=" '
        $1 == "RESULT" && $2 == kind { for (i = 3; i <= NF; i++) if (index($i, key) == 1) print substr($i, length(key) + 1) }
    ' "$work/client.out"
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
minimum() { printf '%s\n' "$@" | sort -g | head -n1; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b + 0 == 0) print "n/a"; else printf "%.2f\n", a / b }'; }
as_ratio() { [ "$1" = n/a ] && echo n/a || echo "$1×"; }
fmt() { awk -v v="$1" -v f="$2" 'BEGIN { printf f "\n", v }'; }

wait_socket() { # path pid seconds
    local deadline=$((SECONDS + $3))
    until [ -S "$1" ]; do
        kill -0 "$2" 2>/dev/null || return 1
        [ "$SECONDS" -ge "$deadline" ] && return 1
        sleep 0.05
    done
}

# Starts a long-running server pinned to the server CPU; sets $started.
start_server() {
    local log=$1
    shift
    "${pin_server[@]}" "$@" 2>"$log" &
    started=$!
    servers+=("$started")
}

# Sums over all threads: voluntary and involuntary context switches, CPU
# ticks (utime+stime) and run time in ns (schedstat, finer than ticks).
snapshot() {
    local pid=$1 switches ticks runtime
    switches=$(awk '/^voluntary_ctxt_switches|^nonvoluntary_ctxt_switches/ { s += $2 } END { print s + 0 }' \
        /proc/"$pid"/task/*/status 2>/dev/null)
    ticks=$(sed 's/.*) //' /proc/"$pid"/stat | awk '{ print $12 + $13 }')
    runtime=$(cat /proc/"$pid"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { print s + 0 }')
    echo "${EPOCHREALTIME/,/.} $switches $ticks $runtime"
}

status_kb() { awk -v key="$2:" '$1 == key { print $2 }' /proc/"$1"/status; }

# ---- build the helpers -----------------------------------------------------------
if ! command -v pkg-config >/dev/null; then
    echo "note: pkg-config is missing; installing it with apt-get"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get install -y -qq pkg-config >/dev/null || fail "cannot install pkg-config"
fi
cc -std=c11 -O2 -Wall -Wextra -Werror -o "$work/client" "$root/bench/client.c" || fail "client.c does not build"
cc -std=c11 -O2 -Wall -Wextra -Werror -o "$work/echo_server" "$root/bench/echo_server.c" ||
    fail "echo_server.c does not build"
# shellcheck disable=SC2046 # pkg-config prints several words on purpose
g++ -O2 -o "$work/minimal_qt" "$root/bench/minimal_qt.cpp" $(pkg-config --cflags --libs Qt5Core Qt5Network) -fPIC ||
    fail "minimal_qt.cpp does not build"

# ---- the machine -----------------------------------------------------------------
commit=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)
[ -n "$(git -C "$root" status --porcelain -- . ':!bench' 2>/dev/null)" ] && commit="$commit + uncommitted changes"
cpu_model=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)
build_type=$(awk -F= '/^CMAKE_BUILD_TYPE:/ { print $2 }' "$build/CMakeCache.txt" 2>/dev/null)
echo "== machine"
echo "arch:       $(uname -m)"
echo "cpu:        ${cpu_model:-unknown}"
echo "cores:      $(nproc --all) online, ${#cpus[@]} allowed"
echo "kernel:     $(uname -r)"
echo "qt:         $(pkg-config --modversion Qt5Core)"
echo "compilers:  $(cc --version | head -n1); $(g++ --version | head -n1)"
echo "guard:      $build/ostrel, built $guard_built, sha256 $(sha256sum "$guard_bin" | cut -c1-12) (${build_type:-unknown build type}; tree $commit)"
echo "pinning:    $pinning"
echo

# ---- 1. round trips: echo server and guard, interleaved ------------------------------
echo "== round trips ($ROUNDS rounds of $ROUND_TRIPS each, alternating order and layout; microseconds)"
start_server "$work/echo.log" "$work/echo_server" "$work/echo.sock"
echo_pid=$started
start_server "$work/guard.log" "$guard_bin" --simulate --profile "$profile" --socket "$work/guard.sock"
guard_pid=$started
wait_socket "$work/echo.sock" "$echo_pid" 10 || fail "the echo server did not start"
wait_socket "$work/guard.sock" "$guard_pid" 10 || {
    cat "$work/guard.log" >&2
    fail "the guard did not start"
}

run_echo() { client 120 echo "$work/echo.sock" "$1" || fail "echo run failed"; }
run_guard() {
    client 120 guard "$work/guard.sock" "$1" || {
        tail -n 5 "$work/guard.log" >&2
        fail "guard run failed"
    }
}
# Warm-up of both paths in every layout, not counted.
for layout in "${layouts[@]}"; do
    set_layout "$layout"
    run_echo 500
    run_guard 500
done

# Per layout, space-separated lists of per-round values.
declare -A echo_p50 hello_p50 control_p50 echo_p99 hello_p99 control_p99
discarded=0
for round in $(seq "$ROUNDS"); do
    for layout in "${layouts[@]}"; do
        set_layout "$layout"
        for which in $( ((round % 2)) && echo "echo guard" || echo "guard echo"); do
            if [ "$which" = echo ]; then
                run_echo "$ROUND_TRIPS"
                echo_p50[$layout]+=" $(field echo p50_us)"
                echo_p99[$layout]+=" $(field echo p99_us)"
                e="$(field echo p50_us) / $(field echo p90_us) / $(field echo p99_us)"
            else
                run_guard "$ROUND_TRIPS"
                hello_p50[$layout]+=" $(field hello p50_us)"
                hello_p99[$layout]+=" $(field hello p99_us)"
                control_p50[$layout]+=" $(field control p50_us)"
                control_p99[$layout]+=" $(field control p99_us)"
                discarded=$((discarded + $(field hello discarded)))
                h="$(field hello p50_us) / $(field hello p90_us) / $(field hello p99_us)"
                c="$(field control p50_us) / $(field control p90_us) / $(field control p99_us)"
            fi
        done
        printf 'round %d %-7s p50/p90/p99  echo %s   hello %s   control %s\n' "$round" "$layout" "$e" "$h" "$c"
    done
done
declare -A echo_med hello_med control_med hello_ratio control_ratio
for layout in "${layouts[@]}"; do
    # shellcheck disable=SC2086 # the lists split on purpose
    {
        echo_med[$layout]=$(median ${echo_p50[$layout]})
        hello_med[$layout]=$(median ${hello_p50[$layout]})
        control_med[$layout]=$(median ${control_p50[$layout]})
        p99s="echo $(median ${echo_p99[$layout]})  hello $(median ${hello_p99[$layout]})  control $(median ${control_p99[$layout]})"
    }
    hello_ratio[$layout]=$(ratio "${hello_med[$layout]}" "${echo_med[$layout]}")
    control_ratio[$layout]=$(ratio "${control_med[$layout]}" "${echo_med[$layout]}")
    echo "-- ${layout_name[$layout]}"
    echo "median of medians: echo ${echo_med[$layout]}  hello ${hello_med[$layout]}  control ${control_med[$layout]}"
    echo "median of p99s:    $p99s"
    echo "hello from the lease holder, guard/echo:  $(as_ratio "${hello_ratio[$layout]}")"
    echo "valid control request, guard/echo:        $(as_ratio "${control_ratio[$layout]}")"
done
set_layout "${layouts[0]}"
echo "(hello samples discarded as indistinguishable from a fan-reading status:" \
    "$discarded of $((ROUNDS * ${#layouts[@]} * ROUND_TRIPS)))"
echo
guard_hwm=$(status_kb "$guard_pid" VmHWM)
stop_pid "$echo_pid"

# ---- 2. idle cost with one idle client, and peak memory ----------------------------
start_server "$work/minimal.log" "$work/minimal_qt" serve "$work/minimal.sock"
minimal_pid=$started
wait_socket "$work/minimal.sock" "$minimal_pid" 10 || fail "minimal_qt serve did not start"

echo "== idle, one connected idle client ($IDLE_ROUNDS x $IDLE_SECONDS s each, alternating)"
echo "wake-ups are counted as context switches (voluntary + involuntary, all threads):"
echo "each time the process blocks and is woken again counts once"
declare -A total_switches total_ticks total_ns total_s
measure_idle() { # name pid socket
    local name=$1 pid=$2 sock=$3 before after lines t0 s0 k0 n0 t1 s1 k1 n1
    timeout $((IDLE_SECONDS + 20)) "${pin_client[@]}" "$work/client" idle "$sock" $((IDLE_SECONDS + 2)) \
        >"$work/idle.out" 2>"$work/idle.err" &
    client_pid=$!
    sleep 1 # connected and past the first status
    before=$(snapshot "$pid")
    sleep "$IDLE_SECONDS"
    after=$(snapshot "$pid")
    wait "$client_pid" || {
        cat "$work/idle.err" >&2
        fail "idle client on $name failed"
    }
    client_pid=""
    lines=$(awk '$1 == "RESULT" { for (i = 2; i <= NF; i++) if ($i ~ /^lines=/) print substr($i, 7) }' "$work/idle.out")
    read -r t0 s0 k0 n0 <<<"$before"
    read -r t1 s1 k1 n1 <<<"$after"
    total_s[$name]=$(awk -v a="${total_s[$name]:-0}" -v b="$t0" -v c="$t1" 'BEGIN { print a + c - b }')
    total_switches[$name]=$((${total_switches[$name]:-0} + s1 - s0))
    total_ticks[$name]=$((${total_ticks[$name]:-0} + k1 - k0))
    total_ns[$name]=$((${total_ns[$name]:-0} + n1 - n0))
    printf '%-8s %5.2f s: %4d switches, %3d ticks, %8.3f ms on CPU; the client received %s lines\n' "$name" \
        "$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')" $((s1 - s0)) $((k1 - k0)) \
        "$(awk -v n=$((n1 - n0)) 'BEGIN { print n / 1e6 }')" "${lines:-?}"
}
for _ in $(seq "$IDLE_ROUNDS"); do
    measure_idle guard "$guard_pid" "$work/guard.sock"
    measure_idle minimal "$minimal_pid" "$work/minimal.sock"
done
hz=$(getconf CLK_TCK)
declare -A wake cpu_ms
for name in guard minimal; do
    wake[$name]=$(awk -v s="${total_switches[$name]}" -v t="${total_s[$name]}" 'BEGIN { printf "%.2f", s / t }')
    cpu_ms[$name]=$(awk -v n="${total_ns[$name]}" -v t="${total_s[$name]}" 'BEGIN { printf "%.3f", n / 1e6 / t }')
    ticks_ms=$(awk -v k="${total_ticks[$name]}" -v t="${total_s[$name]}" -v hz="$hz" 'BEGIN { printf "%.2f", k * 1000 / hz / t }')
    echo "$name: ${wake[$name]} wake-ups/s; CPU ${cpu_ms[$name]} ms/s (schedstat), ${ticks_ms} ms/s (utime+stime at $hz Hz)"
done
wake_ratio=$(ratio "${wake[guard]}" "${wake[minimal]}")
cpu_ratio=$(ratio "${cpu_ms[guard]}" "${cpu_ms[minimal]}")
echo "idle wake-ups guard/minimal: $(as_ratio "$wake_ratio")   idle CPU guard/minimal: $(as_ratio "$cpu_ratio")"
[ "$wake_ratio" = n/a ] && echo "(n/a: the minimal program never woke, so the guard's own rate is the figure)"
echo

minimal_hwm=$(status_kb "$minimal_pid" VmHWM)
guard_hwm_end=$(status_kb "$guard_pid" VmHWM)
guard_threads=$(status_kb "$guard_pid" Threads)
echo "== peak memory (VmHWM)"
echo "guard after the round trips:  $guard_hwm kB (after idling: $guard_hwm_end kB; $guard_threads thread(s))"
echo "minimal_qt serve, one client: $minimal_hwm kB"
rss_ratio=$(ratio "$guard_hwm_end" "$minimal_hwm")
echo "peak RSS guard/minimal: $(as_ratio "$rss_ratio")"
echo
stop_pid "$guard_pid"
stop_pid "$minimal_pid"

# ---- 3. instructions per control request under callgrind -----------------------------
# Method: two runs of the guard under callgrind, each sent the same warm-up
# and then K0 or K1 control requests, released, and held connected until
# both runs have been connected equally long. callgrind counts everything
# the process executes (start-up, event loop, socket I/O, timers); the
# difference of the two totals divided by K1 - K0 cancels start-up and
# warm-up, and the equal connection time cancels most of the guard's own
# timers (a supervision tick every 250 ms, a fan reading every second),
# leaving about one tick of noise. The guard has no SIGTERM handler and a
# dump at a fatal signal is not to be relied on, so the counts are taken with
# `callgrind_control --dump` while it still runs, read from the dump's
# "totals:" line, and only then is the guard stopped.
echo "== instructions per control request (callgrind, warm-up $CG_WARMUP, K0=$CG_K0, K1=$CG_K1)"
cg_total=""
cg_handler=""
cg_connected=""
cg_self=""
cg_incl=""
callgrind_run() { # k hold_ms
    local k=$1 hold=$2 out="$work/cg-$1-$RANDOM" pid dump=""
    start_server "$out.log" valgrind --tool=callgrind --collect-atstart=yes --callgrind-out-file="$out.%p" \
        "$guard_bin" --simulate --profile "$profile" --socket "$out.sock"
    pid=$started
    wait_socket "$out.sock" "$pid" 120 || {
        tail -n 5 "$out.log" >&2
        fail "the guard did not start under callgrind"
    }
    client 900 --timeout-ms 60000 flood "$out.sock" "$k" "$CG_WARMUP" "$hold" || fail "flood run failed"
    cg_connected=$(field flood connected_ms)
    timeout 60 callgrind_control --dump "$pid" >/dev/null 2>&1 || fail "callgrind_control --dump failed"
    # The dump is complete once its totals line is written.
    for _ in $(seq 300); do
        dump=$(find "$work" -maxdepth 1 -name "${out##*/}.$pid.*" | head -n1)
        [ -n "$dump" ] && grep -q '^totals:' "$dump" && break
        sleep 0.1
    done
    if [ -z "$dump" ] || ! grep -q '^totals:' "$dump"; then
        fail "no callgrind dump"
    fi
    cg_total=$(awk '/^totals:/ { print $2 }' "$dump")
    # Inclusive cost of the socket's read handler: parsing, checks, the
    # status text and the buffered write; the rest is event loop and I/O.
    cg_handler=$(timeout 60 callgrind_annotate --inclusive=yes --threshold=100 "$dump" 2>/dev/null |
        awk '/RfuFanGuardService::onReadyRead\(\)/ { gsub(",", "", $1); if ($1 + 0 > m) m = $1 + 0 } END { print m + 0 }')
    # Cost by function for the breakdown below: self cost of every function,
    # and inclusive cost of the guard's own functions.
    cg_self=$out.self
    cg_incl=$out.incl
    timeout 60 callgrind_annotate --auto=no --threshold=100 "$dump" 2>/dev/null | awk '
        match($0, /^ *[0-9,]+ +\([^)]*\) +/) { n = $1; gsub(",", "", n); self[substr($0, RLENGTH + 1)] += n }
        END { for (f in self) print self[f] "\t" f }' >"$cg_self"
    timeout 60 callgrind_annotate --auto=no --inclusive=yes --threshold=100 "$dump" 2>/dev/null | awk -v obj=" [$guard_bin]" '
        match($0, /^ *[0-9,]+ +\([^)]*\) +/) && substr($0, length($0) - length(obj) + 1) == obj {
            n = $1; gsub(",", "", n); f = substr($0, RLENGTH + 1); print n "\t" substr(f, 1, length(f) - length(obj)) }' >"$cg_incl"
    stop_pid "$pid"
}
if command -v valgrind >/dev/null && command -v callgrind_control >/dev/null; then
    per_request=()
    per_handler=()
    for pair in $(seq "$CG_PAIRS"); do
        callgrind_run "$CG_K1" 0
        k1_total=$cg_total k1_handler=$cg_handler k1_connected=$cg_connected k1_self=$cg_self k1_incl=$cg_incl
        callgrind_run "$CG_K0" "$(awk -v c="$k1_connected" 'BEGIN { printf "%d", c + 0.5 }')"
        k0_total=$cg_total k0_handler=$cg_handler k0_connected=$cg_connected k0_self=$cg_self k0_incl=$cg_incl
        pr=$(awk -v a="$k1_total" -v b="$k0_total" -v n=$((CG_K1 - CG_K0)) 'BEGIN { printf "%.0f", (a - b) / n }')
        ph=$(awk -v a="$k1_handler" -v b="$k0_handler" -v n=$((CG_K1 - CG_K0)) 'BEGIN { printf "%.0f", (a - b) / n }')
        per_request+=("$pr")
        per_handler+=("$ph")
        echo "pair $pair: K1 run $k1_total instructions (connected $k1_connected ms), K0 run $k0_total (connected $k0_connected ms)"
        echo "        per request: $pr instructions, of which $ph inside the socket's read handler"
    done
    instr=$(fmt "$(median "${per_request[@]}")" %.0f)
    instr_handler=$(fmt "$(median "${per_handler[@]}")" %.0f)
    echo "instructions per control request (median of $CG_PAIRS): $instr (read handler: $instr_handler)"
    # Per-request difference of two "count<TAB>function" tables, largest first.
    per_request_diff() {
        awk -F'\t' -v n=$((CG_K1 - CG_K0)) '
            NR == FNR { k0[$2] += $1; next } { k1[$2] += $1 }
            END { for (f in k1) { d = (k1[f] - k0[f]) / n; if (d >= 1) printf "%9.0f  %s\n", d, f } }' \
            "$1" "$2" | sort -rn | head -n "$3"
    }
    echo "where they go, per request (last pair): self cost, top 10"
    per_request_diff "$k0_self" "$k1_self" 11 | grep -v 'PROGRAM TOTALS'
    echo "inclusive cost of the guard's own functions, top 8 below main"
    per_request_diff "$k0_incl" "$k1_incl" 20 |
        grep -v -e ':main$' -e '(below main)' -e ':runGuard(' -e ':runFromCommandLine(' | head -n 8
else
    instr="n/a"
    instr_handler="n/a"
    echo "skipped: valgrind with callgrind_control is not installed"
fi
echo

# ---- 4. wall time: one-shot recovery against one Qt event-loop pass ------------------
echo "== wall time, --simulate --safe-once against minimal_qt exit ($WALL_RUNS runs each, alternating; ms)"
wall_run() {
    timeout 60 "${pin_server[@]}" "$work/client" wall 20000 "$@" >"$work/wall.out" 2>"$work/wall.err" &
    client_pid=$!
    wait "$client_pid" || {
        cat "$work/wall.err" >&2
        fail "$1 failed"
    }
    client_pid=""
    awk '$1 == "RESULT" { for (i = 2; i <= NF; i++) if ($i ~ /^us=/) print substr($i, 4) / 1000 }' "$work/wall.out"
}
safe_once=("$guard_bin" --simulate --safe-once --profile "$profile" --socket "$work/once.sock")
wall_run "${safe_once[@]}" >/dev/null # warm-up (page cache, loader)
wall_run "$work/minimal_qt" exit >/dev/null
once_ms=()
exit_ms=()
for _ in $(seq "$WALL_RUNS"); do
    once_ms+=("$(wall_run "${safe_once[@]}")")
    exit_ms+=("$(wall_run "$work/minimal_qt" exit)")
done
once_med=$(median "${once_ms[@]}")
exit_med=$(median "${exit_ms[@]}")
wall_ratio=$(ratio "$once_med" "$exit_med")
echo "safe-once: median $(fmt "$once_med" %.2f) ms, min $(fmt "$(minimum "${once_ms[@]}")" %.2f) ms"
echo "exit:      median $(fmt "$exit_med" %.2f) ms, min $(fmt "$(minimum "${exit_ms[@]}")" %.2f) ms"
echo "wall time safe-once/exit: $(as_ratio "$wall_ratio")"
echo

# ---- summary -----------------------------------------------------------------------------
echo "== summary ($(uname -m), ${cpu_model:-unknown CPU}, ${#cpus[@]} CPUs, Linux $(uname -r), Qt $(pkg-config --modversion Qt5Core))"
echo
echo "| Measure | ostrel | Baseline | Ratio | Target |"
echo "|---|---|---|---|---|"
for layout in "${layouts[@]}"; do
    echo "| Round trip, \`hello\` from the lease holder, ${layout_name[$layout]} (median) | $(fmt "${hello_med[$layout]}" %.1f) µs | echo $(fmt "${echo_med[$layout]}" %.1f) µs | $(as_ratio "${hello_ratio[$layout]}") | ≤ 1.7× |"
    echo "| Round trip, valid \`control\`, ${layout_name[$layout]} (median) | $(fmt "${control_med[$layout]}" %.1f) µs | echo $(fmt "${echo_med[$layout]}" %.1f) µs | $(as_ratio "${control_ratio[$layout]}") | ≤ 1.8× |"
done
echo "| Instructions per \`control\` (callgrind) | $instr | | | |"
echo "| Peak RSS (VmHWM) | $((guard_hwm_end / 1024)).$(((guard_hwm_end % 1024) * 10 / 1024)) MiB | minimal Qt $((minimal_hwm / 1024)).$(((minimal_hwm % 1024) * 10 / 1024)) MiB | $(as_ratio "$rss_ratio") | ≤ 1.2× |"
echo "| Idle wake-ups (context switches), one idle client | ${wake[guard]}/s | minimal Qt ${wake[minimal]}/s | $(as_ratio "$wake_ratio") | ≤ 5/s |"
echo "| Idle CPU, one idle client | ${cpu_ms[guard]} ms/s | minimal Qt ${cpu_ms[minimal]} ms/s | $(as_ratio "$cpu_ratio") | |"
echo "| Wall time, \`--simulate --safe-once\` (median) | $(fmt "$once_med" %.2f) ms | minimal Qt exit $(fmt "$exit_med" %.2f) ms | $(as_ratio "$wall_ratio") | |"

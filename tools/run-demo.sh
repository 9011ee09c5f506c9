#!/usr/bin/env bash
# make demo: a simulated guard on the example profile with the demo client
# steering it. Leaves build/demo/demo.csv, and demo.png where gnuplot exists.
set -u
build=${1:-build}
seconds=${DEMO_SECONDS:-90}
out=$build/demo
mkdir -p "$out"
runtime=$(mktemp -d /tmp/ostrel-demo.XXXXXX)
guard_pid=""
client_pid=""

cleanup() {
    for pid in $client_pid $guard_pid; do
        if kill -0 "$pid" 2>/dev/null; then
            kill "$pid" 2>/dev/null
            wait "$pid" 2>/dev/null
        fi
    done
    rm -rf "$runtime"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$build/ostrel" --simulate --profile examples/rfu-device-profile.ini --socket "$runtime/fan.sock" \
    2>"$out/guard.log" &
guard_pid=$!
for _ in $(seq 50); do
    [ -S "$runtime/fan.sock" ] && break
    kill -0 "$guard_pid" 2>/dev/null || { cat "$out/guard.log"; exit 2; }
    sleep 0.1
done

echo "guard: ostrel --simulate on examples/rfu-device-profile.ini (log: $out/guard.log)"
echo "client: ostrelctl demo for $seconds s"
# In the background, so that an interrupt reaches the trap at once.
"$build/tools/ostrelctl" demo --socket "$runtime/fan.sock" --profile examples/rfu-device-profile.ini \
    --seconds "$seconds" --csv "$out/demo.csv" &
client_pid=$!
wait "$client_pid"
status=$?
client_pid=""

echo "CSV: $out/demo.csv"
if command -v gnuplot >/dev/null 2>&1 && [ -s "$out/demo.csv" ]; then
    gnuplot -c tools/demo-plot.gp "$out/demo.csv" "$out/demo.png" && echo "plot: $out/demo.png"
else
    echo "plot: install gnuplot to get $out/demo.png"
fi
exit "$status"

#!/usr/bin/env bash
# Fuzzes each target for a while, starting from a scratch copy of its
# committed corpus (the committed files are never written):
#
#   CC=clang CXX=clang++ cmake -S . -B build-fuzz -DOSTREL_FUZZ=ON \
#       -DOSTREL_BUILD_TESTS=OFF -DOSTREL_SANITIZE=ON
#   cmake --build build-fuzz -j
#   fuzz/run.sh build-fuzz <seconds-per-target>
#
# Prints one summary line per target and exits with 1 when a target crashed,
# hung or could not run. Each target's grown corpus, log and any crashing
# input stay in <fuzz-build-dir>/fuzz-run/<target>/ until the next run;
# running the target on that input alone reproduces it (for fuzz_frames,
# OSTREL_FUZZ_LOG=1 also shows the guard's log).
set -u

if [ $# -ne 2 ] || ! [[ $2 =~ ^[1-9][0-9]*$ ]] || [ ! -d "$1" ]; then
    echo "usage: $0 <fuzz-build-dir> <seconds-per-target>" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
status=0

# The number after "<key>: " on the first line of the log that matches pattern.
field() { grep -m1 -E "$2" "$3" | sed -nE "s/.*$1:[[:space:]]*([0-9]+).*/\1/p"; }

# fuzz_<name> uses corpus/<name> and <name>.dict.
fuzz_target() {
    local target=$1 max_len=$2
    local name=${target#fuzz_}
    local binary=$build/fuzz/$target work=$build/fuzz-run/$target
    if [ ! -x "$binary" ]; then
        echo "$target: FAILED, not built: $binary"
        status=1
        return
    fi
    rm -rf "$work"
    mkdir -p "$work/corpus" "$work/crashes"
    cp "$here/corpus/$name/"* "$work/corpus/"

    # libFuzzer stops on its own after max_total_time; timeout only ends a hang.
    local start=$SECONDS
    timeout --kill-after=10 $((seconds + 120)) "$binary" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -max_len="$max_len" -dict="$here/$name.dict" -print_final_stats=1 \
        -artifact_prefix="$work/crashes/" "$work/corpus" >"$work/log" 2>&1
    local rc=$? took=$((SECONDS - start))

    local runs speed inited_cov done_cov inited_ft done_ft seeds grown
    runs=$(field number_of_executed_units 'stat::number_of_executed_units' "$work/log")
    speed=$(field average_exec_per_sec 'stat::average_exec_per_sec' "$work/log")
    inited_cov=$(field cov 'INITED' "$work/log")
    inited_ft=$(field ft 'INITED' "$work/log")
    done_cov=$(field cov 'DONE' "$work/log")
    done_ft=$(field ft 'DONE' "$work/log")
    seeds=$(find "$here/corpus/$name" -type f | wc -l)
    grown=$(find "$work/corpus" -type f | wc -l)
    if [ "$rc" -ne 0 ] || [ -z "$done_cov" ]; then
        local input
        input=$(find "$work/crashes" -type f | head -n1)
        echo "$target: FAILED (exit $rc after ${took} s), input: ${input:-none}, log: $work/log"
        grep -E '^(fuzz_[a-z]+:|==[0-9]+==ERROR|SUMMARY)|runtime error' "$work/log" | sed 's/^/    /'
        status=1
        return
    fi
    echo "$target: ok, ${runs:-?} runs in ${took} s (${speed:-?}/s)," \
        "coverage $inited_cov -> $done_cov edges (+$((done_cov - inited_cov)))," \
        "features $inited_ft -> $done_ft, corpus $seeds -> $grown files"
}

# Frames: long enough for an over-long frame and then some; profiles: a few kB.
fuzz_target fuzz_frames 20000
fuzz_target fuzz_profile 4096
exit "$status"

#!/usr/bin/env bash
# Replays each target's committed corpus on the address build, then fuzzes a copy of it in
# <address-build>/fuzz-run/<target>/, which keeps the logs and any crashing input:
#   fuzz/run.sh <address-build> <seconds>
#   fuzz/run.sh <address-build> <runs> <fast-build>: the campaign. <runs> inputs on the fast build,
#     then the grown corpus merged into fuzz/corpus/ (-merge=1) and replayed on the address build.
set -u
export ASAN_OPTIONS=detect_leaks=1
address=$(cd "$1" && pwd) fast=${3:+$(cd "$3" && pwd)} here=$(cd "$(dirname "$0")" && pwd) status=0
fuzz() { # fuzz BUILD LOG ARGUMENTS...: the target $name, its log and any crashing input in $work
    "$1/fuzz/fuzz_$name" -dict="$here/$name.dict" -max_len=20000 -timeout=10 -rss_limit_mb=4096 \
        -artifact_prefix="$work/" "${@:3}" >"$work/$2" 2>&1
}
for name in ${FUZZ_TARGETS:-frames profile status}; do
    work=$address/fuzz-run/$name corpus=$here/corpus/$name
    rm -rf "$work" && mkdir -p "$work/corpus" "$work/merged" && cp "$corpus/"* "$work/corpus/"
    if [ -z "$fast" ]; then
        fuzz "$address" replay.log -runs=0 "$corpus" && fuzz "$address" log -max_total_time="$2" "$work/corpus"
    else
        fuzz "$fast" log -runs="$2" "$work/corpus" && fuzz "$address" merge.log -merge=1 "$work/merged" "$corpus" \
            "$work/corpus" && fuzz "$address" replay.log -runs=0 "$work/merged" && rm -f "$corpus/"* &&
            cp -t "$corpus" "$work/merged/"*
    fi
    if [ $? -eq 0 ]; then # the last progress line: inputs, coverage, corpus and inputs per second
        echo "fuzz_$name: ok, $(grep -E '^#[0-9]+' "$work/log" | tail -n1 | tr -s ' \t' ' ')," \
            "$(grep -oE 'cov: [0-9]+' "$work/replay.log" | tail -n1) replayed on the address build"
    else
        echo "fuzz_$name: FAILED, see $work/" && status=1
    fi
done
exit "$status"

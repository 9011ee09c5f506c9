#!/usr/bin/env bash
# The long fuzz campaign. Usage: [FUZZ_TARGETS="frames profile"] fuzz/campaign.sh <fast-build> <address-build> <runs>
# Each target runs <runs> inputs on the fast build (undefined alone) from a copy of its committed
# corpus; the grown corpus is then merged back into fuzz/corpus/<target> with -merge=1 and every
# input of it replayed on the address build, leak checks included. Logs and any crashing input: <fast-build>/campaign/.
set -u
fast=$(cd "$1" && pwd) address=$(cd "$2" && pwd) runs=$3 here=$(cd "$(dirname "$0")" && pwd) status=0
export ASAN_OPTIONS=detect_leaks=1
for name in ${FUZZ_TARGETS:-frames profile}; do
    work=$fast/campaign/$name
    rm -rf "$work" && mkdir -p "$work/corpus" "$work/merged" && cp "$here/corpus/$name/"* "$work/corpus/"
    options=(-dict="$here/$name.dict" -max_len=20000 -timeout=10 -rss_limit_mb=4096 -artifact_prefix="$work/")
    if "$fast/fuzz/fuzz_$name" "${options[@]}" -runs="$runs" -print_final_stats=1 "$work/corpus" >"$work/log" 2>&1 \
        && "$address/fuzz/fuzz_$name" "${options[@]}" -merge=1 "$work/merged" "$here/corpus/$name" "$work/corpus" \
            >"$work/merge.log" 2>&1 \
        && "$address/fuzz/fuzz_$name" "${options[@]}" -runs=0 "$work/merged" >"$work/replay.log" 2>&1; then
        rm -f "$here/corpus/$name/"* && cp "$work/merged/"* "$here/corpus/$name/"
        echo "fuzz_$name: $(grep -E '^stat::number_of_executed_units' "$work/log" | grep -oE '[0-9]+') runs," \
            "$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$work/log" | tail -n1), $(grep -E '^stat::average_exec_per_sec' "$work/log" | grep -oE '[0-9]+') exec/s," \
            "corpus $(ls "$work/merged" | wc -l) files, $(grep -oE 'cov: [0-9]+' "$work/replay.log" | tail -n1) on the address build"
    else
        echo "fuzz_$name: FAILED, see $work/" && status=1
    fi
done
exit "$status"

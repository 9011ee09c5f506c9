#!/usr/bin/env bash
# Replays each target's committed corpus, then fuzzes it for <seconds> on a copy kept in
# <build>/fuzz-run/<target>/ with any crashing input. Usage: fuzz/run.sh <fuzz-build-dir> <seconds>
set -u
export ASAN_OPTIONS=detect_leaks=1
build=$(cd "$1" && pwd) here=$(cd "$(dirname "$0")" && pwd) status=0
for name in frames profile; do
    work=$build/fuzz-run/$name
    rm -rf "$work" && mkdir -p "$work/corpus" && cp "$here/corpus/$name/"* "$work/corpus/"
    options=(-dict="$here/$name.dict" -max_len=20000 -timeout=10 -rss_limit_mb=4096)
    if "$build/fuzz/fuzz_$name" "${options[@]}" -runs=0 -artifact_prefix="$work/" "$here/corpus/$name" >"$work/replay.log" 2>&1 \
        && "$build/fuzz/fuzz_$name" "${options[@]}" -max_total_time="$2" -artifact_prefix="$work/" "$work/corpus" >"$work/log" 2>&1; then
        echo "fuzz_$name: ok, $(grep -oE '#[0-9]+.*(DONE|pulse).*cov: [0-9]+' "$work/log" | tail -n1), corpus $(ls "$work/corpus" | wc -l) files"
    else
        echo "fuzz_$name: FAILED, see $work/" && status=1
    fi
done
exit "$status"

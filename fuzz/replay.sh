#!/usr/bin/env bash
# Runs every committed corpus input once through its target, for CI:
#
#   fuzz/replay.sh <fuzz-build-dir>
#
# With -runs=0 libFuzzer only executes the corpus and writes nothing into it.
# Exits with 1 when an input crashes or a target is missing or hangs.
set -u

if [ $# -ne 1 ] || [ ! -d "$1" ]; then
    echo "usage: $0 <fuzz-build-dir>" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
status=0

replay() {
    local target=$1 max_len=$2
    local name=${target#fuzz_}
    local binary=$build/fuzz/$target corpus=$here/corpus/$name scratch
    if [ ! -x "$binary" ]; then
        echo "$target: FAILED, not built: $binary"
        status=1
        return
    fi
    scratch=$(mktemp -d)
    if timeout --kill-after=10 300 "$binary" -runs=0 -timeout=10 -rss_limit_mb=2048 -max_len="$max_len" \
        -artifact_prefix="$scratch/" "$corpus" >"$scratch/log" 2>&1 && grep -q 'DONE' "$scratch/log"; then
        echo "$target: ok, $(find "$corpus" -type f | wc -l) inputs replayed"
    else
        # libFuzzer saves the failing input under its hash; name the committed file instead.
        local artifact input=""
        artifact=$(find "$scratch" -type f ! -name log | head -n1)
        if [ -n "$artifact" ]; then
            for file in "$corpus"/*; do
                if cmp -s "$file" "$artifact"; then
                    input=$file
                    break
                fi
            done
        fi
        echo "$target: FAILED on ${input:-an unknown input}"
        if ! grep -E '^(fuzz_[a-z]+:|==[0-9]+==ERROR|SUMMARY)|runtime error' "$scratch/log" | sed 's/^/    /'; then
            tail -n 20 "$scratch/log" | sed 's/^/    /'
        fi
        status=1
    fi
    rm -rf "$scratch"
}

replay fuzz_frames 20000
replay fuzz_profile 4096
exit "$status"

#!/usr/bin/env bash
# Fails when a C++ source of the project differs from its clang-format layout.
set -eu
clang_format=$1
cd "$2"
dirs=$(for d in app profile backend service protocol guard client examples tests tools fuzz bench; do if [ -d "$d" ]; then echo "$d"; fi; done)
find $dirs \( -name '*.cpp' -o -name '*.h' \) -print0 | xargs -0 -r "$clang_format" --dry-run -Werror

#!/usr/bin/env bash
# Installs a build under a private prefix and checks that it works from there: the installed
# ostrelctl runs without a library search path, and the example client builds against the
# installed library both with its CMake package and with pkg-config.
# usage: check-install.sh <build-dir> <source-dir>
set -u -o pipefail
fail() {
    echo "check-install: $*" >&2
    exit 1
}
[ $# -eq 2 ] || fail "usage: check-install.sh <build-dir> <source-dir>"
example=$2/examples/hold-speed
prefix=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-prefix.XXXXXX") || fail "cannot create a temporary directory"
trap 'rm -rf "$prefix"' EXIT

cmake --install "$1" --prefix "$prefix" >/dev/null || fail "cmake --install failed"
env -u LD_LIBRARY_PATH "$prefix/bin/ostrelctl" --help >/dev/null || fail "the installed ostrelctl does not run"
cmake -S "$example" -B "$prefix/example" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_FLAGS=-Werror >"$prefix/log" 2>&1 &&
    cmake --build "$prefix/example" >>"$prefix/log" 2>&1 || { cat "$prefix/log"; fail "the example does not build with CMake"; }
[[ $("$prefix/example/hold-speed" 2>&1) == "hold-speed: usage"* ]] || fail "the example built with CMake does not run"
pc=$(find "$prefix" -name ostrel-client.pc -printf '%h')
flags=$(PKG_CONFIG_PATH=$pc pkg-config --cflags --libs ostrel-client) || fail "pkg-config does not find ostrel-client"
[[ $flags == *"-I$prefix/"* ]] || fail "pkg-config names another prefix: $flags"
# shellcheck disable=SC2086 # the flags are words
g++ -std=c++17 -fPIC -Werror "$example/hold-speed.cpp" -o "$prefix/hold-speed" $flags ||
    fail "the example does not build with pkg-config"
echo "check-install: ostrelctl runs from $prefix; the example builds with CMake and with pkg-config"

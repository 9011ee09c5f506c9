#!/usr/bin/env bash
# The example client built from the packaged library alone, with CMake and with pkg-config, as
# a user of the -dev package builds it, then run against a simulated guard: 3 s at 3000 RPM, and
# a speed the library refuses.
# usage: run.sh <source-dir> <directory holding the packages> <ostrel program>
set -u
source=$1
profile=$source/examples/rfu-device-profile.ini
work=$(mktemp -d)
guard=""
cleanup() {
    if [ -n "$guard" ]; then
        kill "$guard" 2>/dev/null
        timeout 5 tail --pid="$guard" -f /dev/null || kill -9 "$guard"
        wait "$guard" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() { cat "$work/log"; echo "$1"; exit 1; }

root=$work/root
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
lib=$root/usr/lib/$triplet
for package in libostrel-client0 libostrel-client-dev; do
    dpkg-deb -x "$(ls "$2/${package}"_*.deb)" "$root" || exit 1
done
cmake -S "$source/examples/hold-speed" -B "$work/build" -DCMAKE_PREFIX_PATH="$root/usr" \
    -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >"$work/log" 2>&1 && cmake --build "$work/build" >>"$work/log" 2>&1 \
    || fail "the example does not build with CMake"
grep -q "^OstrelClient_DIR:PATH=$lib/" "$work/build/CMakeCache.txt" || fail "CMake found another ostrel-client"

# The sysroot goes before every path pkg-config gives, Qt's too: the root gets the machine's Qt.
ln -s "/usr/include/$triplet" "$root/usr/include/"
flags=$(PKG_CONFIG_PATH=$lib/pkgconfig PKG_CONFIG_SYSROOT_DIR=$root pkg-config --cflags --libs ostrel-client) \
    || fail "pkg-config does not find ostrel-client"
g++ -std=c++17 -fPIC -Wall -Wextra -Werror "$source/examples/hold-speed/hold-speed.cpp" $flags -o "$work/pc" \
    >"$work/log" 2>&1 || fail "the example does not build with pkg-config: $flags"

"$3" --simulate --profile "$profile" --socket "$work/fan.sock" 2>"$work/log" &
guard=$!
for _ in $(seq 50); do [ -S "$work/fan.sock" ] && break; sleep 0.1; done
hold() { LD_LIBRARY_PATH=$lib timeout 30 "$work/build/hold-speed" "$work/fan.sock" "$profile" "$@"; }
hold 3000 3 || fail "hold-speed failed"
# A speed off the grid never reaches the guard: the library refuses it with the guard's reason.
hold 3050 1 2>"$work/refused"
[ $? -eq 1 ] && grep -qx 'hold-speed: request refused: Unsafe stop or spin-up request' "$work/refused" \
    || fail "hold-speed did not report the refusal: $(cat "$work/refused")"
echo "example client ok"

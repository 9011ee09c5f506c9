#!/usr/bin/env bash
# Builds the Debian packages from a copy of the tracked sources and checks them: lintian
# reports no error and no warning, every manual page is clean under mandoc -Tlint, every
# installed file is in its package and nowhere else, and the packaged daemon and fan
# simulator run. The packages stay in <output-dir>, for the system test.
# usage: check-deb.sh <source-dir> <output-dir>
set -u
source=$(cd "$1" && pwd)
out=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The package as `make deb` builds it, from a copy of the tracked sources.
if ! timeout 900 make -C "$source" --no-print-directory deb DEB_DIR="$out" >"$work/build.log" 2>&1; then
    tail -n 40 "$work/build.log"
    echo "make deb failed"
    exit 1
fi
deb=$(ls "$out"/ostrel_*.deb)
echo "package: $(basename "$deb")"
status=0

# The .changes lists every binary package of the build, so each of them is checked.
lintian --fail-on none "$out"/ostrel_*.changes >"$work/lintian.txt" 2>&1
if grep -E '^[EW]: ' "$work/lintian.txt"; then
    echo "lintian reports the lines above"
    status=1
fi
for page in "$source"/docs/*.[1-8]; do
    mandoc -Tlint "$page" || { echo "mandoc -Tlint: $(basename "$page")"; status=1; }
done

# contains <package> <path>...: the paths in the package's file list (symbolic links included).
contains() {
    local contents
    contents=$(dpkg-deb -c "$1" | awk '{print $6}')
    for path in "${@:2}"; do
        grep -qx -- "$path" <<<"$contents" || { echo "missing from $(basename "$1"): $path"; status=1; }
    done
}
# unexpected <package> <pattern>: no path of the package matches.
unexpected() {
    if dpkg-deb -c "$1" | awk '{print $6}' | grep -E -- "$2"; then
        echo "unexpected files in $(basename "$1")"
        status=1
    fi
}
contains "$deb" ./usr/sbin/ostrel ./usr/bin/ostrelctl ./usr/libexec/ostrel/ostrel-copy-profile ./lib/systemd/system/ostrel.service \
    ./lib/systemd/system/ostrel-metrics.service ./lib/systemd/system/ostrel-metrics.timer \
    ./usr/share/man/man8/ostrel.8.gz ./usr/share/man/man1/ostrelctl.1.gz \
    ./usr/share/man/man5/ostrel-profile.5.gz ./usr/share/man/man7/ostrel-protocol.7.gz \
    ./usr/share/doc/ostrel/rfu-device-profile.ini ./usr/share/doc/ostrel/ostrel-alerts.yml ./usr/share/doc/ostrel/copyright
# Nothing from the build tree or the tests, no configuration (the profile is the site's),
# nothing of the client library, and not the simulated fan program: a production machine
# gets it only by asking for its package.
unexpected "$deb" 'tst_|ostrel_without_real_backend|/etc/|ostrel-client|/include/|kevo-sim'
ls "$out"/ostrel-dbgsym_*.deb >/dev/null 2>&1 || { echo "no -dbgsym package"; status=1; }

# The simulated fan program: the program and its page, and nothing of the guard.
sim=$(ls "$out"/kevo-sim_*.deb)
contains "$sim" ./usr/bin/kevo-sim ./usr/share/man/man1/kevo-sim.1.gz ./usr/share/doc/kevo-sim/copyright
unexpected "$sim" 'ostrel|/sbin/|/systemd/|/etc/|/lib/'

# The client library: the run-time package holds the library alone, the -dev package the rest.
runtime=$(ls "$out"/libostrel-client0_*.deb)
dev=$(ls "$out"/libostrel-client-dev_*.deb)
lib=./usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
contains "$runtime" "$lib/libostrel-client.so.0"
unexpected "$runtime" '\.so$|/include/|/cmake/|/pkgconfig/|/man/'
mapfile -t headers < <(cd "$source/client" && printf './usr/include/%s\n' ostrel-client/*.h)
contains "$dev" "${headers[@]}" "$lib/libostrel-client.so" "$lib/pkgconfig/ostrel-client.pc" \
    "$lib/cmake/OstrelClient/OstrelClientConfig.cmake" "$lib/cmake/OstrelClient/OstrelClientConfigVersion.cmake" \
    "$lib/cmake/OstrelClient/OstrelClientTargets.cmake" ./usr/share/man/man3/ostrel-client.3.gz

dpkg-deb -x "$deb" "$work/root"
if ! timeout 10 "$work/root/usr/sbin/ostrel" --help >"$work/help.txt" 2>&1 || ! grep -q -- '--safe-once' "$work/help.txt"; then
    cat "$work/help.txt"
    echo "the packaged daemon does not run"
    status=1
fi
# The packaged fan program answers, and only once told where its fan's state is.
dpkg-deb -x "$sim" "$work/sim"
rpm=$(KEVO_SIM_STATE="$work/fan" timeout 10 "$work/sim/usr/bin/kevo-sim" --fan-rpm 2>&1)
env -u KEVO_SIM_STATE timeout 10 "$work/sim/usr/bin/kevo-sim" --fan-rpm >/dev/null 2>&1
if [ "$?" -ne 2 ] || [ "$rpm" != 0 ]; then
    echo "the packaged kevo-sim does not run, or runs without KEVO_SIM_STATE"
    status=1
fi
[ "$status" -eq 0 ] && echo "package ok"
exit "$status"

#!/usr/bin/env bash
# Builds the Debian package from a finished build and checks what it holds:
# every installed file in its place, and a daemon that runs from it.
set -u
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if ! (cd "$build" && timeout 300 cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1); then
    cat "$work/cpack.log"
    echo "cpack failed"
    exit 1
fi
deb=$(ls "$work"/out/*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || { echo "no .deb was built"; exit 1; }
echo "package: $(basename "$deb")"

contents=$(dpkg-deb -c "$deb" | awk '{print $NF}')
status=0
for path in ./usr/sbin/ostrel ./usr/bin/ostrelctl ./usr/bin/kevo-sim ./usr/lib/systemd/system/ostrel.service \
    ./usr/share/man/man8/ostrel.8 ./usr/share/doc/ostrel/rfu-device-profile.ini ./usr/share/doc/ostrel/README.md; do
    if ! grep -qx -- "$path" <<<"$contents"; then
        echo "missing from the package: $path"
        status=1
    fi
done
# Nothing from the build tree or the tests.
if grep -E 'tst_|ostrel_without_real_backend|/etc/' <<<"$contents"; then
    echo "unexpected files in the package"
    status=1
fi
for field in Package Version Architecture Depends; do
    dpkg-deb -f "$deb" "$field" | grep -q . || { echo "control field $field is empty"; status=1; }
done

dpkg-deb -x "$deb" "$work/root"
if ! timeout 10 "$work/root/usr/sbin/ostrel" --help >"$work/help.txt" 2>&1 || ! grep -q -- '--safe-once' "$work/help.txt"; then
    cat "$work/help.txt"
    echo "the packaged daemon does not run"
    status=1
fi
[ "$status" -eq 0 ] && echo "package contents ok"
exit "$status"

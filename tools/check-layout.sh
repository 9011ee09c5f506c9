#!/usr/bin/env bash
# Checks the source layout: lower layers never include upper ones, and the
# members of the two split classes are defined only in the files named after them.
set -u
root=${1:-$(dirname "$0")/..}
cd "$root" || exit 2
status=0

# Layers, lowest first; a file may include its own layer and those below it. The rules and the
# frame reader that the client library shares with the guard are plain values below the service;
# protocol/ and guard/ both hold members of the service and share one layer. The client library
# and the tools sit beside the daemon: neither may reach into the service.
layer_of() {
    case "$1" in
        profile/*) echo 0 ;;
        guard/control* | guard/guardrules.h | guard/steadystate.* | protocol/framereader.* | protocol/socketpaths.h) echo 1 ;;
        backend/*) echo 2 ;;
        client/*) echo 2 ;;
        service/*) echo 3 ;;
        protocol/* | guard/*) echo 4 ;;
        app/*) echo 5 ;;
        tools/*) echo 3 ;;
        *) echo -1 ;;
    esac
}

while IFS=: read -r file _ included; do
    own=$(layer_of "$file")
    target=$(layer_of "$included")
    if [ "$target" -gt "$own" ]; then
        echo "layer violation: $file includes $included"
        status=1
    fi
done < <(grep -rnoE '#include "[a-z]+/[^"]+"' profile backend service protocol guard app client tools |
    sed -E 's/#include "([^"]+)"/\1/')

# file pattern that may define members of a class
check_members() {
    local class=$1 allowed=$2
    while IFS= read -r file; do
        case "$file" in
            $allowed) ;;
            *)
                echo "$class members defined outside their files: $file"
                status=1
                ;;
        esac
    # A definition starts at column 0, as in "void Class::member(" or "Class::Class(".
    done < <(grep -rlE "^[A-Za-z_][^&(/]*\b$class::~?[A-Za-z_]+\(" app profile backend service protocol guard 2>/dev/null)
}
check_members RfuFanGuardService '*/rfufanguardservice*.cpp'
check_members KevoFanBackend 'backend/kevofanbackend*.cpp'

[ "$status" -eq 0 ] && echo "layout ok"
exit "$status"

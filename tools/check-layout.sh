#!/usr/bin/env bash
# Checks the source layout: lower layers never include upper ones, and the
# members of the two split classes are defined only in the files named after them.
set -u
root=${1:-$(dirname "$0")/..}
cd "$root" || exit 2
status=0

# Layers, lowest first; a file may include its own layer and those below it.
# protocol/ and guard/ both hold members of the service and share one layer.
layer_of() {
    case "$1" in
        profile) echo 0 ;;
        backend) echo 1 ;;
        service) echo 2 ;;
        protocol | guard) echo 3 ;;
        app) echo 4 ;;
        *) echo -1 ;;
    esac
}

for dir in profile backend service protocol guard app; do
    [ -d "$dir" ] || continue
    own=$(layer_of "$dir")
    while IFS=: read -r file _ included; do
        target_dir=${included%%/*}
        target=$(layer_of "$target_dir")
        if [ "$target" -gt "$own" ]; then
            echo "layer violation: $file includes $included"
            status=1
        fi
    done < <(grep -rnoE '#include "[a-z]+/[^"]+"' "$dir" | sed -E 's/#include "([^"]+)"/\1/')
done

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

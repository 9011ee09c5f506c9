#!/usr/bin/env bash
# Checks docs/safety-case.md against the tree: every evidence entry of its hazard table names a
# test that exists, and every reason the guard can latch as its fault appears in some row.
# usage: check-safety-case.sh [SOURCE_DIR [--reasons]]; --reasons also lists the latchable
# reasons found, each with the line it comes from.
set -u
root=${1:-$(dirname "$0")/..}
cd "$root" || exit 2
doc=docs/safety-case.md
[ -r "$doc" ] || { echo "cannot read $doc"; exit 2; }
status=0
problem() {
    echo "$doc: $*"
    status=1
}
product=(app service profile backend protocol guard)
rows=$(grep -E '^\| *H[0-9]+ *\|' "$doc")
[ -n "$rows" ] || problem "no hazard rows (lines starting with | H1 |, | H2 |, ...)"

# ---- Evidence: what each kind of entry may name.

table_rows() { awk -F'|' '/^#/ || NF < 2 { next } { gsub(/^[ \t]+|[ \t]+$/, "", $1); print $1 }' "$1"; }
soak_endings=$(sed -n '/QList<Ending> endings/,/};/p' tests/soak.cpp | grep -oE '\{ "[^"]+",' | sed -E 's/^\{ "//; s/",$//')
# The scenarios run.sh runs when given none, each a function of its own.
system_scenarios=$(grep -E '^\[ \$# -gt 1 \] \|\| set -- "\$1" ' tests/system/run.sh | sed -E 's/.*set -- "\$1" //' | tr ' ' '\n' |
    while read -r s; do grep -qE "^$s\(\) \{" tests/system/run.sh && echo "$s"; done)
ctests=$(cat CMakeLists.txt ./*/CMakeLists.txt 2>/dev/null | grep -oE 'add_test\(NAME [A-Za-z0-9_]+' | sed 's/.* //')
data_rows() { tr '\n' ' ' <"$1" | grep -oE 'QTest::(new|add)Row\( *"([^"\\]|\\.)*"' | sed -E 's/^[^"]*"//; s/"$//; s/\\(.)/\1/g'; }

names=0
# resolve ID ENTRY: ENTRY, one evidence entry of hazard ID, names a test that exists.
resolve() {
    local id=$1 entry=$2 kind name list what
    names=$((names + 1))
    if [[ $entry =~ ^([a-z_]+)::([A-Za-z_][A-Za-z0-9_]*)$ ]]; then
        # A test function: a slot of the test in tests/FILE.cpp.
        if [ ! -f "tests/${BASH_REMATCH[1]}.cpp" ] || ! grep -qE "^[[:space:]]+void ${BASH_REMATCH[2]}\(\)" "tests/${BASH_REMATCH[1]}.cpp"; then
            problem "$id: no test function $entry"
        fi
        return
    fi
    if [[ $entry != *": "* ]]; then
        problem "$id: not an evidence entry: \`$entry\`"
        return
    fi
    kind=${entry%%: *} name=${entry#*: }
    case "$kind" in
        soak) list=$soak_endings what="ending in tests/soak.cpp" ;;
        system) list=$system_scenarios what="scenario that tests/system/run.sh runs" ;;
        ctest) list=$ctests what="test registered with add_test" ;;
        tst_*) list=$([ -f "tests/$kind.cpp" ] && data_rows "tests/$kind.cpp") what="data row in tests/$kind.cpp" ;;
        *)
            if [[ $kind =~ ^[a-z]+$ ]] && [ -f "tests/tables/$kind.txt" ]; then
                list=$(table_rows "tests/tables/$kind.txt") what="row in tests/tables/$kind.txt"
            else
                problem "$id: unknown kind of evidence: \`$entry\`"
                return
            fi
            ;;
    esac
    grep -qxF -- "$name" <<<"$list" || problem "$id: no $what named \"$name\""
}

expected=1
while IFS= read -r row; do
    id=$(cut -d'|' -f2 <<<"$row" | tr -d ' ')
    # IDs run H1, H2, ... in order: a row taken out shows.
    [ "$id" = "H$expected" ] || problem "$id where H$expected was expected: hazard IDs must run from H1 without a gap"
    expected=$((${id#H} + 1))
    cells=$(awk -F'|' '{ print NF - 2 }' <<<"$row")
    [ "$cells" -eq 6 ] || problem "$id: $cells cells, not 6"
    evidence=$(awk -F'|' '{ print $(NF - 1) }' <<<"$row")
    entries=$(grep -oE '`[^`]+`' <<<"$evidence" | tr -d '`')
    [ -n "$entries" ] || grep -q 'Gap:' <<<"$evidence" || problem "$id: no evidence, and no gap stated"
    while IFS= read -r entry; do
        [ -z "$entry" ] || resolve "$id" "$entry"
    done <<<"$entries"
done <<<"$rows"

# ---- Fault reasons, traced from the code: every text that can reach requestSafety(reason, true).

reasons=()
seen=" "
# args_of TEXT NAME: the arguments of the first call of NAME in TEXT, one a line.
args_of() {
    local rest=${1#*"$2("} arg="" c depth=0 quoted=0 i
    for ((i = 0; i < ${#rest}; i++)); do
        c=${rest:i:1}
        if [ $quoted = 1 ]; then
            arg+=$c
            [ "$c" = '\' ] && arg+=${rest:i+1:1} && i=$((i + 1))
            [ "$c" = '"' ] && quoted=0
            continue
        fi
        case "$c" in
            '"') quoted=1 ;;
            '(') depth=$((depth + 1)) ;;
            ')') [ $depth = 0 ] && break || depth=$((depth - 1)) ;;
            ,) [ $depth = 0 ] && { echo "$arg" | sed -E 's/^ +| +$//g'; arg=; continue; } ;;
        esac
        arg+=$c
    done
    echo "$arg" | sed -E 's/^ +| +$//g'
}
# enclosing FILE LINE: "LINE:TEXT" of the definition that holds line LINE (it starts at column 0).
enclosing() { awk -v stop="$2" 'NR > stop { exit } /^[A-Za-z_].*\(/ && !/;[ \t]*$/ { s = NR ":" $0 } END { print s }' "$1"; }
# body FILE LINE: the definition starting at LINE, to its closing brace at column 0.
body() { awk -v from="$2" 'NR >= from { print; if (NR > from && /^}/) exit }' "$1"; }
name_of() { sed -E 's/^[0-9]+://; s/^([^(]*[^A-Za-z0-9_])?([A-Za-z_][A-Za-z0-9_]*)\(.*/\2/' <<<"$1"; }
# param_pos TEXT VAR: where the parameter "QString& VAR" stands in its parameter list in TEXT, from 1.
param_pos() {
    local before=${1%%"QString& $2"*}
    before=${before##*(}
    before=${before//[^,]/}
    echo $((${#before} + 1))
}
calls_of() { grep -rnE "(^|[^A-Za-z0-9_:])$1\(" "${product[@]}" | grep -vE "$1\(const |^[^:]+:[0-9]+:[[:space:]]*//"; }

# latched TEXT WHERE: a reason; a literal followed by more (a "+", an .arg) counts up to its first
# variable part.
latched() {
    local text
    text=$(sed -E 's/^QStringLiteral\("(([^"\\]|\\.)*)"\).*/\1/' <<<"$1")
    [ "$text" = "$1" ] && { problem "cannot read the reason $1 at $2"; return; }
    [[ $1 =~ ^QStringLiteral\(\"([^\"\\]|\\.)*\"\)$ ]] || text=$(sed -E 's/%.*//; s/[: ]+$//' <<<"$text")
    reasons+=("$text"$'\t'"$2")
}
# returns_of NAME WHERE: the reasons function NAME returns (an empty one is none).
returns_of() {
    local name=$1 found=0 def line text
    while IFS= read -r text; do
        latched "$text" "$2 via $name()"
        found=1
    done < <(grep -rhoE "[^A-Za-z0-9_]$name\(\)( const)? \{ return QStringLiteral\(\"[^\"]*\"\); \}" "${product[@]}" |
        sed -E 's/.*return (.*); \}$/\1/')
    while IFS=: read -r def line _; do
        found=1
        while IFS= read -r text; do
            case "$text" in
                'QStringLiteral("'*) latched "$text" "$2 via $name()" ;;
                '{}') ;;
                *) problem "cannot trace what $name returns at $def:$line: return $text" ;;
            esac
        done < <(body "$def" "$line" | sed -nE 's/^[[:space:]]*return (.*);$/\1/p')
    done < <(grep -rnE "^[A-Za-z_][^;(]*[^A-Za-z0-9_]$name\(" --include='*.cpp' "${product[@]}" | grep -vE ';[[:space:]]*$')
    [ $found = 1 ] || problem "cannot find $name, whose reasons reach a fault ($2)"
}
# from_variable VAR FILE LINE: the reasons variable VAR holds at the call on LINE of FILE.
from_variable() {
    local var=$1 file=$2 at=$3 def text fn method mfile mline found=0
    def=$(enclosing "$file" "$at")
    if grep -qE "QString& ${var}[,)]" <<<"$def"; then
        relay "$(name_of "$def")" "$(param_pos "$def" "$var")"
        return
    fi
    text=$(body "$file" "${def%%:*}")
    # Assigned the result of a function: QString var = fn(...), var = Class::fn().
    for fn in $(sed -nE "s/.*QString $var = ([A-Za-z_][A-Za-z0-9_]*)\(.*/\1/p; s/.*[^A-Za-z0-9_]$var = ([A-Za-z_][A-Za-z0-9_]*::)?([A-Za-z_][A-Za-z0-9_]*)\(\);.*/\2/p" <<<"$text"); do
        returns_of "$fn" "$file:$at"
        found=1
    done
    # Filled by a method it is handed to: obj.method(..., &var), which sets *param = fn().
    for method in $(grep -oE "(\.|->)[A-Za-z_][A-Za-z0-9_]*\([^;]*&${var}[,)]" <<<"$text" | sed -E 's/^(\.|->)([A-Za-z_0-9]+)\(.*/\2/'); do
        while IFS=: read -r mfile mline _; do
            for fn in $(body "$mfile" "$mline" | sed -nE 's/^[[:space:]]*\*[A-Za-z_]+ = ([A-Za-z_][A-Za-z0-9_]*)\(\);.*/\1/p'); do
                returns_of "$fn" "$file:$at via $method()"
                found=1
            done
        done < <(grep -rnE "^[A-Za-z_][^;(]*::$method\(" --include='*.cpp' "${product[@]}")
    done
    [ $found = 1 ] || problem "cannot trace the reason $var at $file:$at"
}
# relay NAME POS: function NAME hands its parameter at POS on to a fault; the reasons its callers give.
relay() {
    local name=$1 pos=$2 file at text arg signal
    case "$seen" in *" $name "*) return ;; esac
    seen+="$name "
    while IFS=: read -r file at text; do
        arg=$(args_of "$text" "$name" | sed -n "${pos}p")
        if [[ $arg == QStringLiteral* ]]; then
            latched "$arg" "$file:$at"
        elif [[ $arg =~ ^[a-z][A-Za-z0-9_]*$ ]] && [[ $text == *"connect("*"&"*"::"*"QString& $arg"* ]]; then
            # Called for a signal, by a handler that hands on its own parameter: the reasons are
            # those the signal is emitted with.
            signal=$(grep -oE '&[A-Za-z_]+::[A-Za-z_]+' <<<"$text" | head -n 1 | sed 's/.*:://')
            emits "$signal" "$(param_pos "$text" "$arg")"
        elif [[ $arg =~ ^[a-z][A-Za-z0-9_]*$ ]]; then
            from_variable "$arg" "$file" "$at"
        else
            problem "cannot trace the reason $arg at $file:$at"
        fi
    done < <(calls_of "$name")
}
# emits SIGNAL POS: the reasons SIGNAL is emitted with as its argument at POS.
emits() {
    local file at text arg found=0
    while IFS=: read -r file at text; do
        found=1
        arg=$(args_of "$text" "$1" | sed -n "${2}p")
        if [[ $arg == QStringLiteral* ]]; then
            latched "$arg" "$file:$at"
        elif [[ $arg =~ ^[a-z][A-Za-z0-9_]*$ ]]; then
            from_variable "$arg" "$file" "$at"
        else
            problem "cannot trace the reason $arg at $file:$at"
        fi
    done < <(grep -rnE "(Q_EMIT|emit) $1\(" "${product[@]}")
    [ $found = 1 ] || problem "cannot find where signal $1 is emitted"
}

# The safety requests themselves: requestSafety(reason, true) latches, (reason, false) does not.
while IFS=: read -r file at text; do
    mapfile -t args < <(args_of "$text" requestSafety)
    case "${args[1]:-}" in
        false) ;;
        true)
            if [[ ${args[0]} == QStringLiteral* ]]; then
                latched "${args[0]}" "$file:$at"
            elif [[ ${args[0]} =~ ^[a-z][A-Za-z0-9_]*$ ]]; then
                from_variable "${args[0]}" "$file" "$at"
            else
                problem "cannot trace the reason ${args[0]} at $file:$at"
            fi
            ;;
        *) problem "cannot tell whether the safety request at $file:$at latches: ${args[1]:-}" ;;
    esac
done < <(calls_of requestSafety)

[ ${#reasons[@]} -gt 0 ] || problem "found no fault reason in the code"
table=$(cut -d'|' -f3- <<<"$rows")
listed=$(printf '%s\n' "${reasons[@]}" | sort -t$'\t' -k1,1 -u)
while IFS=$'\t' read -r reason where; do
    [ "${2:-}" = --reasons ] && printf '%-50s %s\n' "$reason" "$where"
    grep -qF -- "$reason" <<<"$table" || problem "the fault reason \"$reason\" ($where) is in no hazard row"
done <<<"$listed"

[ "$status" -eq 0 ] && echo "safety case ok: $(wc -l <<<"$rows") hazards, $names evidence entries, $(wc -l <<<"$listed") fault reasons"
exit "$status"

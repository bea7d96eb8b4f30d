#!/usr/bin/env bash
# Checks the export tables of built ferrule libraries: ferrule.dll (i686 or
# x86_64) must name its module ferrule.dll, export exactly the four functions
# under their names and ordinals and import only DLLs that come with Windows;
# libferrule.so must export the four names and nothing else. Neither may
# carry a text helper other than StrPos. Exits non-zero on any difference.
#
#   scripts/check-exports.sh FILE...   (defaults: the linux, win64 and win32 builds)
set -uo pipefail
cd "$(dirname "$0")/.."

EXPORTS=(_qvGetDLLVersion _qvIRC_bValidChannelName _qvIRC_bValidServerName _qvMemCpy)
MODULE=ferrule.dll
# Windows system DLLs that ferrule may import, lower case; the api-ms-win-*
# sets are matched apart. Anything else (a runtime DLL of the toolchain, say)
# would have to be shipped beside it.
SYSTEM_DLLS=" kernel32.dll msvcrt.dll ntdll.dll ucrtbase.dll user32.dll advapi32.dll "

if [ $# -eq 0 ]; then
    set -- build/linux/ferrule/libferrule.so build/win64/ferrule/ferrule.dll \
        build/win32/ferrule/ferrule.dll
fi

status=0
fail() {
    echo "check-exports: $file: $*" >&2
    status=1
}

# The helpers of common/textutil.h, read from the header, less StrPos.
other_helpers() {
    sed -n 's/^[a-z].*[ *]\([A-Z][A-Za-z]*\)(.*/\1/p' common/textutil.h | grep -vx StrPos
}

check_helpers() { # nm program
    local name symbols
    symbols=$("$1" -C --defined-only "$file")
    for name in $(other_helpers); do
        if grep -q " [TtWw] $name(" <<<"$symbols"; then
            fail "holds the text helper $name, which ferrule does not use"
        fi
    done
}

check_so() {
    local want got
    want=$(printf 'T %s\n' "${EXPORTS[@]}")
    got=$(nm -D --defined-only "$file" | awk '{print $2, $3}' | sort)
    if [ "$got" != "$want" ]; then
        fail "dynamic symbols differ from the four exports:"
        diff <(echo "$want") <(echo "$got") | sed -n 's/^[<>]/    &/p' >&2
    fi
    check_helpers nm
}

check_dll() {
    local objdump nm format dump
    format=$(x86_64-w64-mingw32-objdump -f "$file" | sed -n 's/.*file format //p')
    case "$format" in
    pei-i386) objdump=i686-w64-mingw32-objdump nm=i686-w64-mingw32-nm ;;
    pei-x86-64) objdump=x86_64-w64-mingw32-objdump nm=x86_64-w64-mingw32-nm ;;
    *)
        fail "not a Windows DLL ($format)"
        return
        ;;
    esac
    dump=$("$objdump" -p "$file")

    local name base
    name=$(echo "$dump" | sed -n 's/^Name[[:space:]]\+[0-9a-fA-F]\+ //p')
    [ "$name" = "$MODULE" ] || fail "module name is '$name', not $MODULE"
    base=$(echo "$dump" | sed -n 's/^Ordinal Base[[:space:]]\+//p')

    # Export address table: ordinal and RVA of each entry. Name table: the
    # name and its index into the address table, which plus the base is the
    # ordinal.
    local eat names want
    eat=$(echo "$dump" | sed -n '/^Export Address Table --/,/^$/p' |
        sed -n 's/.*+base\[ *\([0-9]\+\)\] \([0-9a-fA-F]\+\) \(.*\)$/\1 \2 \3/p')
    names=$(echo "$dump" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
        sed -n 's/^[[:space:]]*\[ *\([0-9]\+\)\] \(.*\)$/\1 \2/p' |
        awk -v base="$base" '{print $1 + base, $2}' | sort -n)
    want=$(for i in "${!EXPORTS[@]}"; do echo "$((i + 1)) ${EXPORTS[$i]}"; done)
    if [ "$names" != "$want" ]; then
        fail "named exports (ordinal name) differ:"
        diff <(echo "$want") <(echo "$names") | sed -n 's/^[<>]/    &/p' >&2
    fi
    [ "$(echo "$eat" | grep -c .)" = "${#EXPORTS[@]}" ] ||
        fail "export address table has $(echo "$eat" | grep -c .) entries, not ${#EXPORTS[@]}"

    # No data and no forwarders: every export lies in a code section.
    local image_base sections ord rva kind
    image_base=$(echo "$dump" | sed -n 's/^ImageBase[[:space:]]\+//p')
    sections=$("$objdump" -h "$file" | awk '
        /^ *[0-9]+ / {name = $2; size = $3; vma = $4; next}
        name != "" {if ($0 ~ /CODE/) print name, size, vma; name = ""}')
    while read -r ord rva kind; do
        [ -n "$ord" ] || continue
        if [ "$kind" != "Export RVA" ]; then
            fail "ordinal $ord is a $kind"
            continue
        fi
        local addr=$((0x$image_base + 0x$rva)) in_code=0 sname size vma
        while read -r sname size vma; do
            if [ $((addr >= 0x$vma && addr < 0x$vma + 0x$size)) = 1 ]; then in_code=1; fi
        done <<<"$sections"
        [ $in_code = 1 ] || fail "ordinal $ord (RVA $rva) is not in a code section"
    done <<<"$eat"

    local dll
    for dll in $(echo "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z'); do
        case "$SYSTEM_DLLS" in *" $dll "*) continue ;; esac
        case "$dll" in api-ms-win-*.dll) continue ;; esac
        fail "imports $dll, which is not among the Windows system DLLs it may use"
    done

    check_helpers "$nm"
}

for file in "$@"; do
    if [ ! -f "$file" ]; then
        fail "missing"
        continue
    fi
    before=$status
    status=0
    case "$file" in
    *.so) check_so ;;
    *.dll) check_dll ;;
    *) fail "neither a .so nor a .dll" ;;
    esac
    [ $status = 0 ] && echo "check-exports: $file: ok"
    [ $before = 1 ] && status=1
done
exit $status

#!/bin/sh
# Lists the DLLs a Windows executable imports and fails, naming the
# offender, when one is not a system DLL (for example a MinGW runtime DLL
# such as libstdc++-6.dll, libgcc_s_dw2-1.dll or libwinpthread-1.dll, which
# a statically linked build must not need). With --max-size=BYTES it also
# fails when the file is larger than BYTES (the release exe's size limit;
# meant for stripped files).
#
# Usage: scripts/check-imports.sh [--max-size=BYTES] <file.exe> [objdump]
set -eu

usage() {
    echo "usage: $0 [--max-size=BYTES] <file.exe> [objdump]" >&2
    exit 2
}

max_size=
case ${1:-} in
--max-size=*)
    max_size=${1#--max-size=}
    shift
    case $max_size in
    '' | *[!0-9]*) usage ;;
    esac
    ;;
esac
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    usage
fi
exe=$1
objdump=${2:-}
if [ -z "$objdump" ]; then
    for candidate in i686-w64-mingw32-objdump x86_64-w64-mingw32-objdump objdump; do
        if command -v "$candidate" >/dev/null 2>&1; then
            objdump=$candidate
            break
        fi
    done
fi
if [ -z "$objdump" ]; then
    echo "check-imports: no objdump found" >&2
    exit 2
fi
if [ ! -f "$exe" ]; then
    echo "check-imports: $exe: no such file" >&2
    exit 2
fi

headers=$("$objdump" -p "$exe") || {
    echo "check-imports: $exe: objdump could not read it" >&2
    exit 2
}
dlls=$(printf '%s\n' "$headers" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' | tr -d '\r' | sort -u)

# A few DLLs every Windows installation since XP carries, and the
# universal C runtime's API sets.
is_system_dll() {
    case $(printf '%s' "$1" | tr 'A-Z' 'a-z') in
    kernel32.dll | user32.dll | gdi32.dll | advapi32.dll | shell32.dll | shlwapi.dll | ole32.dll | \
        oleaut32.dll | version.dll | msvcrt.dll | comctl32.dll | comdlg32.dll | ucrtbase.dll | \
        api-ms-win-crt-*.dll | api-ms-win-core-*.dll)
        return 0
        ;;
    esac
    return 1
}

status=0
echo "$exe imports:"
for dll in $dlls; do
    if is_system_dll "$dll"; then
        echo "  $dll"
    else
        echo "  $dll  <- not a system DLL" >&2
        status=1
    fi
done
if [ -z "$dlls" ]; then
    echo "  (none)"
fi
if [ "$status" -ne 0 ]; then
    echo "check-imports: $exe needs a DLL outside the system allow-list" >&2
fi

if [ -n "$max_size" ]; then
    size=$(wc -c <"$exe" | tr -d ' ')
    if [ "$size" -gt "$max_size" ]; then
        echo "check-imports: $exe is $size bytes, more than its limit of $max_size bytes" >&2
        status=1
    else
        echo "$exe: $size bytes (limit $max_size)"
    fi
fi
exit "$status"

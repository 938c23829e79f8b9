#!/usr/bin/env bash
# Takes the pictures of the patch's message boxes that the Windows user's
# guide shows: builds the windows preset (build/windows), plays the stories
# a user meets under Wine on a virtual X display of its own
# (tests/wine/screenshots.py), and puts one PNG of each box into docs/boxes.
#
#   scripts/screenshots.sh
#
# The machines are WoW64 ones unless KESTOVA_WINE_ARCH says win32. The
# pictures are taken into a fresh folder first; only those taken are copied
# into docs/boxes. Exits with 1, naming each box that was not captured,
# when any was not.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$PWD
BUILD=$ROOT/build/windows
OUT=$ROOT/docs/boxes
PYTHON=python3
[[ -x /usr/bin/python3 ]] && PYTHON=/usr/bin/python3

fail() {
    echo "screenshots: $*" >&2
    exit 1
}

for tool in cmake i686-w64-mingw32-g++ wine Xvfb xwininfo xprop import "$PYTHON"; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps.sh installs it)"
done

echo "== building the windows preset in ${BUILD#"$ROOT"/}"
mkdir -p "$ROOT/build"
cmake --preset windows >"$ROOT/build/screenshots.configure.log" 2>&1 ||
    fail "configure failed, see build/screenshots.configure.log"
cmake --build --preset windows -j 2 >"$ROOT/build/screenshots.build.log" 2>&1 ||
    fail "the build failed, see build/screenshots.build.log"

TAKEN=$(mktemp -d)
WORK=$(mktemp -d)
trap 'rm -rf "$TAKEN" "$WORK"' EXIT

echo "== taking the pictures under Wine"
# A display of its own: nothing else on the screen, and no window manager.
status=0
env -u DISPLAY KESTOVA_WINE_ARCH="${KESTOVA_WINE_ARCH:-win64}" \
    "$PYTHON" tests/wine/screenshots.py --build-dir "$BUILD" --out "$TAKEN" --work-dir "$WORK" || status=$?

missing=()
mkdir -p "$OUT"
while read -r name; do
    [[ -n $name ]] || continue
    if [[ -s $TAKEN/$name.png ]]; then
        cp "$TAKEN/$name.png" "$OUT/$name.png"
        printf '  %-28s %6d bytes\n' "docs/boxes/$name.png" "$(stat -c %s "$OUT/$name.png")"
    else
        missing+=("$name")
    fi
done < <("$PYTHON" tests/wine/screenshots.py --list)

if [[ ${#missing[@]} -gt 0 ]]; then
    fail "not captured: ${missing[*]}"
fi
[[ $status -eq 0 ]] || fail "the stories did not go as told (exit status $status)"
echo "== every box captured"

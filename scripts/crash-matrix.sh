#!/usr/bin/env bash
# The whole crash matrix on the real platform: the crash-test build of the
# patch (kestova-patch-crashtest.exe) stopped after every change each stage
# makes, in both columns (kill: the process ends itself with TerminateProcess;
# power: the machine's wineserver and every program on it end with SIGKILL),
# on a WoW64 and a 32-bit Wine machine, two cells at a time
# (tests/wine/crash_matrix.py; README, "The crash matrix under Wine").
#
#   scripts/crash-matrix.sh [OPTION...]   options of tests/wine/crash_matrix.py,
#                                         such as --columns kill or --states NAME
#   KESTOVA_WINE_ARCHES=win32 scripts/crash-matrix.sh   one kind of machine only
#
# It takes hours. Every cell is also written as one JSON line to
# build/crash-matrix/results-DATE.jsonl; the start states are kept in
# build/crash-matrix/<kind>/states for the next run while the programs they
# hold stay the same. Ends with "N passed, N failed" over both kinds.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

BUILD=build/crash-matrix/windows
PYTHON=python3
[[ -x /usr/bin/python3 ]] && PYTHON=/usr/bin/python3

scripts/install-deps.sh >/dev/null || { echo "crash-matrix: scripts/install-deps.sh failed" >&2; exit 1; }
HOST_KIND=$(scripts/host-kind.sh)
echo "$HOST_KIND"
mkdir -p build/crash-matrix
echo "Building the patch and its crash-test build (windows preset, $BUILD)..."
if ! { cmake --preset windows -B "$BUILD" && cmake --build "$BUILD" -j 2; } >build/crash-matrix/build.log 2>&1; then
    tail -n 40 build/crash-matrix/build.log
    echo "crash-matrix: the build failed (log: build/crash-matrix/build.log)" >&2
    exit 1
fi

results=build/crash-matrix/results-$(date -u +%Y%m%d-%H%M).jsonl
started=$SECONDS
passed=0
failed=0
for arch in ${KESTOVA_WINE_ARCHES:-win64 win32}; do
    echo "== $arch"
    log=build/crash-matrix/$arch.log
    KESTOVA_WINE_ARCH=$arch "$PYTHON" tests/wine/crash_matrix.py --build-dir "$BUILD" \
        --work-dir "build/crash-matrix/$arch" --results "$results" "$@" 2>&1 | tee "$log"
    line=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$log" | tail -n 1)
    if [[ -z $line ]]; then
        failed=$((failed + 1))
        continue
    fi
    passed=$((passed + ${line%% passed*}))
    line=${line##*passed, }
    failed=$((failed + ${line%% failed}))
done
echo
echo "crash matrix: $((SECONDS - started)) s; cells in $results; $HOST_KIND"
echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
